# Sourced (POSIX sh) by the tests that run `nginx -t` on a configuration of
# their own: tests/download_server/nginx_module_config_test.sh and
# tests/shipping/check_module_install.sh.

# nginx_test_conf DIR SERVERS: a configuration nginx -t checks as any
# account, without touching nginx's own files: its pid file in DIR, errors
# to standard error, no access log, temporary files under DIR/temp (which
# the caller makes), and SERVERS (server blocks) in its http block. Lines
# the caller wants in front (load_module, include) it prints first.
nginx_test_conf() {
  cat <<CONF
pid "$1/nginx.pid";
error_log stderr;
events {}
http {
  access_log off;
  client_body_temp_path "$1/temp/client";
  fastcgi_temp_path "$1/temp/fastcgi";
  proxy_temp_path "$1/temp/proxy";
  scgi_temp_path "$1/temp/scgi";
  uwsgi_temp_path "$1/temp/uwsgi";
$2
}
CONF
}
