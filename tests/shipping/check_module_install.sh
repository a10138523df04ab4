#!/bin/sh
# check_module_install.sh PACKAGE
# The nginx module's Debian package, installed here with dpkg as an
# administrator would, works with Debian's nginx: `dpkg -i` enables it (a
# link in /etc/nginx/modules-enabled/ to its load_module file), and nginx -t
# accepts a configuration that includes /etc/nginx/modules-enabled/*.conf, as
# Debian's nginx.conf does, and uses the module's directives; the same
# configuration without the include is refused (the directives are the
# module's, not nginx's). `dpkg -r` disables it (the link renamed to
# .removed; nginx -t refuses again), a second `dpkg -i` enables it again, and
# `dpkg --purge` leaves /etc/nginx, /usr/lib/nginx and /usr/share/nginx as
# they were before the test.
#
# It changes the machine, so it needs root, runs one at a time per machine
# (a lock in /run), and purges the package however it ends. It skips (77)
# when not root or when the package is already installed here (an
# administrator's, which it leaves alone).
set -u
deb=$1
package=libnginx-mod-http-brackwell-stamp
enabled=/etc/nginx/modules-enabled/50-mod-http-brackwell-stamp.conf
available=/usr/share/nginx/modules-available/mod-http-brackwell-stamp.conf
module=/usr/lib/nginx/modules/ngx_http_brackwell_stamp_module.so

[ -f "$deb" ] || { echo "$deb: no such package (run the package step first)"; exit 1; }
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: installing a package needs root"
  exit 77
fi
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || { echo "nginx is not installed (scripts/install-deps.sh installs it)"; exit 1; }

# known: dpkg knows the package here, installed or with its configuration
# left after a remove.
known() {
  case $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) in
    '' | 'unknown ok not-installed') return 1 ;;
    *) return 0 ;;
  esac
}

exec 9>/run/brackwell-module-install-test.lock
flock -w 600 9 || { echo "another run of this test held /run/brackwell-module-install-test.lock for 10 minutes"; exit 1; }
if known; then
  echo "SKIP: $package is already on this machine ($(dpkg-query -W -f='${Status} ${Version}' "$package")); the test leaves it alone"
  exit 77
fi
for path in "$enabled" "$enabled.removed"; do
  if [ -e "$path" ] || [ -L "$path" ]; then
    echo "$path exists, but $package is not installed: the test would take it for its own"
    exit 1
  fi
done

# What the package may touch, as it is now.
state() {
  for place in /etc/nginx /usr/lib/nginx /usr/share/nginx/modules-available /usr/share/doc/$package \
    /var/lib/dpkg/info/$package.list; do
    if [ -e "$place" ]; then
      find "$place" -printf '%p %y %m %l\n'
    else
      echo "$place absent"
    fi
  done | LC_ALL=C sort
}
before=$(state)

. "$(dirname "$0")/../support/nginx_test_conf.sh"
work=$(mktemp -d) || exit 1
dpkg_log=$work/dpkg.log
cleanup() {
  if known; then
    dpkg --purge "$package" >>"$dpkg_log" 2>&1 || { echo "dpkg --purge $package failed:"; cat "$dpkg_log"; }
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

status=0
fail() {
  echo "not ok - $*"
  status=1
}
ok() { echo "ok - $*"; }

# dpkg_run ARGS...: dpkg, waiting up to a minute for its lock when apt or
# dpkg runs elsewhere on the machine.
dpkg_run() {
  for _ in $(seq 60); do
    if dpkg "$@" >"$work/out" 2>&1; then
      cat "$work/out" >>"$dpkg_log"
      return 0
    fi
    cat "$work/out" >>"$dpkg_log"
    grep -q 'lock' "$work/out" || break
    sleep 1
  done
  cat "$work/out"
  return 1
}

# A configuration that uses every directive of the module; with the include
# it loads what /etc/nginx/modules-enabled/ enables, as /etc/nginx/nginx.conf
# does. nginx's own prefix, so that the relative load_module path resolves
# as it does for Debian's nginx.
head -c 48 /dev/urandom >"$work/link.key"
mkdir "$work/temp"
configuration() { # include|no-include
  [ "$1" = include ] && echo "include /etc/nginx/modules-enabled/*.conf;"
  nginx_test_conf "$work" "$(
    cat <<EOF
  server {
    listen 127.0.0.1:1;
    location ~ "^/download/([A-Za-z0-9_-][A-Za-z0-9_.-]*)/([A-Za-z0-9_-]+)\$" {
      brackwell_stamp;
      brackwell_stamp_image "/srv/downloads/images/\$1";
      brackwell_stamp_profile "/srv/downloads/profiles/\$2";
      brackwell_stamp_unsign on;
      brackwell_stamp_link_key "$work/link.key";
    }
  }
EOF
  )"
}
configuration include >"$work/with.conf"
configuration no-include >"$work/without.conf"
nginx_test() { # CONF: nginx -t's output; its status
  "$nginx" -t -q -e stderr -c "$1" 2>&1
}

# Without the package, nginx knows none of the directives.
if out=$(nginx_test "$work/with.conf"); then
  fail "nginx -t accepted the module's directives before the package was installed"
else
  case $out in
    *'unknown directive "brackwell_stamp"'*) ok "before dpkg -i, nginx -t refuses brackwell_stamp as unknown" ;;
    *) fail "before dpkg -i, nginx -t failed otherwise: $out" ;;
  esac
fi

if ! dpkg_run -i "$deb"; then
  fail "dpkg -i $deb"
  exit 1
fi
ok "dpkg -i $(basename "$deb")"
[ -f "$module" ] && ok "$module installed" || fail "no $module"
[ "$(cat "$available" 2>/dev/null)" = "load_module modules/ngx_http_brackwell_stamp_module.so;" ] &&
  ok "$available holds its load_module line" || fail "$available: '$(cat "$available" 2>/dev/null)'"
[ "$(readlink "$enabled")" = "$available" ] && ok "$enabled links to it" ||
  fail "$enabled is not a link to $available: $(ls -l "$enabled" 2>&1)"
if out=$(nginx_test "$work/with.conf"); then
  ok "nginx -t accepts the module's directives through /etc/nginx/modules-enabled/"
else
  fail "nginx -t refused the configuration with the package installed: $out"
fi
if out=$(nginx_test "$work/without.conf"); then
  fail "nginx -t accepted the directives without loading the module"
else
  ok "without the include, nginx -t still refuses them"
fi

if ! dpkg_run -r "$package"; then
  fail "dpkg -r $package"
  exit 1
fi
ok "dpkg -r $package"
{ [ ! -e "$module" ] && [ ! -e "$available" ]; } && ok "the module and its load_module file are gone" ||
  fail "left after dpkg -r: $(ls -d "$module" "$available" 2>/dev/null)"
{ [ ! -e "$enabled" ] && [ ! -L "$enabled" ] && [ -L "$enabled.removed" ]; } &&
  ok "$enabled is renamed to .removed" || fail "after dpkg -r: $(ls -l "$enabled" "$enabled.removed" 2>&1)"
nginx_test "$work/with.conf" >/dev/null && fail "nginx -t accepted the directives after dpkg -r" ||
  ok "after dpkg -r, nginx -t refuses them again"

if ! dpkg_run -i "$deb"; then
  fail "dpkg -i $deb, after dpkg -r"
  exit 1
fi
{ [ "$(readlink "$enabled")" = "$available" ] && [ ! -L "$enabled.removed" ]; } &&
  ok "dpkg -i after dpkg -r enables the module again" || fail "after the second dpkg -i: $(ls -l "$enabled" "$enabled.removed" 2>&1)"
nginx_test "$work/with.conf" >/dev/null && ok "nginx -t accepts the directives again" ||
  fail "nginx -t refused the configuration after the second dpkg -i"

if ! dpkg_run --purge "$package"; then
  fail "dpkg --purge $package"
  exit 1
fi
after=$(state)
if [ "$before" = "$after" ]; then
  ok "dpkg --purge leaves /etc/nginx, /usr/lib/nginx and /usr/share/nginx as they were"
else
  fail "dpkg --purge left the machine changed:"
  echo "$before" >"$work/before"
  echo "$after" >"$work/after"
  diff "$work/before" "$work/after" | sed 's/^/    /'
fi
[ $status -eq 0 ] || { echo "dpkg's output:"; sed 's/^/    /' "$dpkg_log"; }
exit $status
