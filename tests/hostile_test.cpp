// A hostile local account against both tools run as root. Install scripts
// run brackwell as root, and build servers run brackwell-stamp as root, with
// outputs in directories every account writes to. Linux's fs.protected_*
// settings would refuse most of these attacks in the kernel; macOS has no
// such settings, so they are turned off here for the run, and the tools must
// refuse the attacks themselves.
//
// The table: each object the attacker plants under the name a run is about
// to use (a symbolic link to a root-only file, a dangling link, a hard link
// to another account's file, a hard link to one of root's own symbolic
// links, a FIFO, a file of the attacker's own) against each writer
// (brackwell's output; brackwell-stamp write, remove, unsign and extract
// with --out; a stamp in place). Every victim must stay as it was, nothing
// may be created through a link, no run may hang or die of a signal, and
// the status must be the documented failure. Its second part, against the
// same writers: a file of root's that the attacker kept a hard link to and
// moved in after root deleted its own name, which no rule can tell from
// root's own file: it must be replaced by a new file, never written into.
// Then the uses that must go on working, and the other ways in: set-id bits
// handed over by a stamp in place, the leftover clean-up, the in-place lock,
// extracting into the image itself, a profile too large for memory, a
// file-size limit.
//
// Needs root (to create the attacker's account and to be the victim); it
// skips otherwise. The account, the kernel settings and every file are gone
// or back as they were afterwards, also when the test process is killed: a
// guard process of its own puts them back when the test process ends.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

#include "fileio/fd.h"
#include "support/listings.h"
#include "support/run_tool.h"
#include "support/test_support.h"

using testsupport::Bytes;
using testsupport::cat;
using testsupport::ChildSetup;
using testsupport::Identity;
using testsupport::PROFILE;
using testsupport::readFile;
using testsupport::RunResult;
using testsupport::StandardOutput;
using testsupport::TempDir;
using testsupport::toBytes;
using testsupport::writeFile;

namespace {

const std::vector<std::string> KERNEL_SETTINGS = {"protected_symlinks", "protected_regular",
                                                  "protected_fifos", "protected_hardlinks"};

std::string settingPath(const std::string& name) {
  return "/proc/sys/fs/" + name;
}

std::string readSetting(const std::string& name) {
  std::ifstream in(settingPath(name));
  std::string value;
  in >> value;
  return value;
}

bool writeSetting(const std::string& name, const std::string& value) {
  std::ofstream out(settingPath(name));
  out << value << "\n";
  out.close();
  return static_cast<bool>(out);
}

// Runs a command without a shell; true when it exited 0.
bool runCommand(const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The machine as the attack table needs it: an attacker's account, and the
// kernel's link and FIFO protections off, as on a Mac.
class HostileMachine : public ::testing::Environment {
public:
  void SetUp() override {
    if (geteuid() != 0) {
      why_ = "needs root: the test creates the attacker's account and plays the victim";
      return;
    }
    user_ = "bwattack" + std::to_string(getpid());
    // One run at a time on a machine: a second run would save the settings
    // the first turned off and "restore" them off. The lock is shared with
    // the guard (same open file), so it is held until the guard has put
    // everything back.
    const int machineLock = open("/run/brackwell-hostile-test.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (machineLock < 0 || flock(machineLock, LOCK_EX) != 0) {
      why_ = "cannot take /run/brackwell-hostile-test.lock";
      return;
    }
    std::map<std::string, std::string> saved;
    for (const std::string& setting : KERNEL_SETTINGS) {
      const std::string value = readSetting(setting);
      if (value.empty()) {
        why_ = "the kernel has no " + settingPath(setting);
        return;
      }
      saved[setting] = value;
    }
    // The guard: in a session of its own, so that nothing that ends the test
    // process ends it too, it waits for the pipe to close (the test process
    // is gone, however it ended) and then puts everything back.
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
      why_ = "no pipe for the guard";
      return;
    }
    guard_ = fork();
    if (guard_ == 0) {
      close(pipeFds[1]);
      setsid();
      char byte;
      while (read(pipeFds[0], &byte, 1) > 0 || errno == EINTR) {
      }
      for (const auto& [setting, value] : saved) {
        writeSetting(setting, value);
      }
      runCommand({"userdel", user_});
      _exit(0);
    }
    close(pipeFds[0]);
    guardPipe_ = pipeFds[1];
    if (!runCommand({"useradd", "--system", "--no-create-home", "--user-group", "--shell",
                     "/usr/sbin/nologin", user_})) {
      why_ = "useradd could not create the attacker's account " + user_;
      return;
    }
    const passwd* entry = getpwnam(user_.c_str());
    if (entry == nullptr) {
      why_ = "the account " + user_ + " was created but cannot be found";
      return;
    }
    attacker_ = Identity{entry->pw_uid, entry->pw_gid};
    for (const std::string& setting : KERNEL_SETTINGS) {
      if (!writeSetting(setting, "0")) {
        why_ = "cannot turn off " + settingPath(setting);
        return;
      }
    }
  }

  void TearDown() override {
    if (guardPipe_ >= 0) {
      close(guardPipe_);
      int status = 0;
      waitpid(guard_, &status, 0);
    }
  }

  // Why the table cannot run here; empty when it can.
  static const std::string& why() { return why_; }
  static const Identity& attacker() { return *attacker_; }

private:
  static inline std::string why_;
  static inline std::optional<Identity> attacker_;
  std::string user_;
  pid_t guard_ = -1;
  int guardPipe_ = -1;
};

[[maybe_unused]] const auto* const machine = ::testing::AddGlobalTestEnvironment(new HostileMachine);

// Runs `act` as `who` in a child process; true when it returned true.
bool as(const Identity& who, const std::function<bool()>& act) {
  const pid_t pid = fork();
  if (pid == 0) {
    const bool switched = setgroups(0, nullptr) == 0 && setgid(who.gid) == 0 && setuid(who.uid) == 0;
    _exit(switched && act() ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The image files the runs work on.
const Bytes DATA(4096, 0x5a);
const Bytes PLAIN = cat({DATA, testsupport::udifTrailer()});
const Bytes STAMPED = testsupport::stamped(DATA, PROFILE, testsupport::udifTrailer());
const Bytes SIGNED = testsupport::signedImage(PLAIN, testsupport::signatureBlob(64));
const Bytes SECRET = toBytes("root's own, readable by all\n");
const Bytes ROOT_ONLY = toBytes("root's only\n");

// The scene of every row:
//   {DIR}            0755, root's
//   {DIR}/shared     1777, root's: the shared directory (like /tmp)
//   {DIR}/victim     0755, root's: rootonly (0600), secret (0644), image.dmg (0644,
//                    unstamped: a stamp would change it)
//   {DIR}/work       0755, root's: the runs' inputs, and their listings
class Scene {
public:
  Scene() {
    EXPECT_EQ(chmod(dir.path().c_str(), 0755), 0);
    for (const auto& [name, mode] :
         {std::pair<std::string, mode_t>{"shared", 01777}, {"victim", 0755}, {"work", 0755}}) {
      EXPECT_EQ(mkdir(dir.file(name).c_str(), 0700), 0);
      EXPECT_EQ(chmod(dir.file(name).c_str(), mode), 0);
    }
    put("victim/rootonly", ROOT_ONLY, 0600);
    put("victim/secret", SECRET, 0644);
    put("victim/image.dmg", PLAIN, 0644);
    put("work/plain.dmg", PLAIN, 0644);
    put("work/stamped.dmg", STAMPED, 0644);
    put("work/signed.dmg", SIGNED, 0644);
    put("work/profile.bin", PROFILE, 0644);
  }

  std::string path(const std::string& name) const { return dir.file(name); }
  std::string shared(const std::string& name) const { return dir.file("shared/" + name); }

  void put(const std::string& name, const Bytes& bytes, mode_t mode) const {
    writeFile(path(name), bytes);
    EXPECT_EQ(chmod(path(name).c_str(), mode), 0);
  }

  // Runs brackwell (the stand-in build) with `image` attached at
  // /Volumes/Setup, writing its profile to `output`.
  RunResult brackwell(const std::string& image, const std::string& output, ChildSetup setup = {}) const {
    const std::vector<testsupport::Attached> attached{{image, image, {"/Volumes/Setup"}}};
    writeFile(path("work/info.txt"), testsupport::textListing(attached));
    writeFile(path("work/info.plist"), testsupport::plistListing(attached));
    setup.env.push_back({"BRACKWELL_STANDIN_INFO", path("work/info.txt")});
    setup.env.push_back({"BRACKWELL_STANDIN_PLIST", path("work/info.plist")});
    setup.timeoutSeconds = 30;
    return testsupport::runTool({"/Volumes/Setup/Install.pkg", output}, setup);
  }

  RunResult stamp(const std::vector<std::string>& args, ChildSetup setup = {}) const {
    setup.captureStderr = true;
    setup.timeoutSeconds = 30;
    return testsupport::runStampTool(args, setup);
  }

  TempDir dir{"brackwell-hostile"};
};

// Everything about a file that an attack could change.
struct FileState {
  bool exists = false;
  mode_t mode = 0;
  uid_t uid = 0;
  nlink_t links = 0;
  Bytes bytes;
  bool operator==(const FileState& other) const {
    return exists == other.exists && mode == other.mode && uid == other.uid && links == other.links &&
           bytes == other.bytes;
  }
};

FileState stateOf(const std::string& path) {
  FileState state;
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    return state;
  }
  state.exists = true;
  state.mode = st.st_mode;
  state.uid = st.st_uid;
  state.links = st.st_nlink;
  if (S_ISREG(st.st_mode)) {
    state.bytes = readFile(path);
  }
  return state;
}

void PrintTo(const FileState& state, std::ostream* os) {
  *os << (state.exists
              ? "mode " + std::to_string(state.mode) + ", uid " + std::to_string(state.uid) + ", " +
                    std::to_string(state.links) + " links, " + std::to_string(state.bytes.size()) + " bytes"
              : std::string("absent"));
}

enum class Planted { link, danglingLink, hardLink, hardLinkToRootsLink, fifo, ownFile };
enum class Writer { brackwell, write, remove, unsign, extract, inPlace };

std::string nameOf(Planted planted) {
  switch (planted) {
  case Planted::link:
    return "Link";
  case Planted::danglingLink:
    return "DanglingLink";
  case Planted::hardLink:
    return "HardLink";
  case Planted::hardLinkToRootsLink:
    return "HardLinkToRootsLink";
  case Planted::fifo:
    return "Fifo";
  case Planted::ownFile:
    return "AttackersFile";
  }
  return "";
}

std::string nameOf(Writer writer) {
  switch (writer) {
  case Writer::brackwell:
    return "Brackwell";
  case Writer::write:
    return "WriteOut";
  case Writer::remove:
    return "RemoveOut";
  case Writer::unsign:
    return "UnsignOut";
  case Writer::extract:
    return "ExtractOut";
  case Writer::inPlace:
    return "WriteInPlace";
  }
  return "";
}

void PrintTo(Planted planted, std::ostream* os) {
  *os << nameOf(planted);
}

void PrintTo(Writer writer, std::ostream* os) {
  *os << nameOf(writer);
}

// Runs `writer` with `target` as its output (for a stamp in place: as its
// image), on the scene's inputs.
RunResult runWriter(const Scene& scene, Writer writer, const std::string& target) {
  switch (writer) {
  case Writer::brackwell:
    return scene.brackwell(scene.path("work/stamped.dmg"), target);
  case Writer::write:
    return scene.stamp(
        {"write", scene.path("work/plain.dmg"), scene.path("work/profile.bin"), "--out", target});
  case Writer::remove:
    return scene.stamp({"remove", scene.path("work/stamped.dmg"), "--out", target});
  case Writer::unsign:
    return scene.stamp({"unsign", scene.path("work/signed.dmg"), "--out", target});
  case Writer::extract:
    return scene.stamp({"extract", scene.path("work/stamped.dmg"), "--out", target});
  case Writer::inPlace:
    return scene.stamp({"write", target, scene.path("work/profile.bin")});
  }
  return {};
}

// A table of runs on the hostile machine: skipped where it cannot be had.
template <typename Row> class OnHostileMachine : public ::testing::TestWithParam<Row> {
protected:
  void SetUp() override {
    if (!HostileMachine::why().empty()) {
      GTEST_SKIP() << HostileMachine::why();
    }
  }
};

class Attack : public OnHostileMachine<std::tuple<Planted, Writer>> {};

TEST_P(Attack, LeavesEveryVictimAsItWas) {
  const Planted planted = std::get<0>(GetParam());
  const Writer writer = std::get<1>(GetParam());
  const Scene scene;
  const std::string target = scene.shared("Acme.dmg");
  // A stamp in place is after an image: the links lead to one of root's.
  const bool inPlace = writer == Writer::inPlace;
  const std::string linkTarget = scene.path(inPlace ? "victim/image.dmg" : "victim/rootonly");
  const std::string hardLinkTarget = scene.path(inPlace ? "victim/image.dmg" : "victim/secret");
  const std::string missing = scene.path("victim/created");
  // One of root's own symbolic links (such as /etc/localtime), to the same
  // file the attacker's link would lead to.
  const std::string rootsLink = scene.path("victim/link");
  ASSERT_EQ(symlink(linkTarget.c_str(), rootsLink.c_str()), 0);
  const Identity attacker = HostileMachine::attacker();
  ASSERT_TRUE(as(attacker,
                 [&] {
                   switch (planted) {
                   case Planted::link:
                     return symlink(linkTarget.c_str(), target.c_str()) == 0;
                   case Planted::danglingLink:
                     return symlink(missing.c_str(), target.c_str()) == 0;
                   case Planted::hardLink:
                     return link(hardLinkTarget.c_str(), target.c_str()) == 0;
                   case Planted::hardLinkToRootsLink:
                     // The link itself, not its target (`ln -P`): root's.
                     return linkat(AT_FDCWD, rootsLink.c_str(), AT_FDCWD, target.c_str(), 0) == 0;
                   case Planted::fifo:
                     return mkfifo(target.c_str(), 0666) == 0;
                   case Planted::ownFile: {
                     // Empty for an output; an image of the attacker's own for a stamp in place.
                     const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
                     const Bytes bytes = inPlace ? PLAIN : Bytes{};
                     const bool ok =
                         fd >= 0 &&
                         write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
                         fchmod(fd, 0666) == 0;
                     close(fd);
                     return ok;
                   }
                   }
                   return false;
                 }))
      << "the attacker could not plant the " << nameOf(planted);
  const std::vector<std::string> victims = {target,
                                            scene.path("victim/rootonly"),
                                            scene.path("victim/secret"),
                                            scene.path("victim/image.dmg"),
                                            rootsLink,
                                            missing};
  std::map<std::string, FileState> before;
  for (const std::string& victim : victims) {
    before[victim] = stateOf(victim);
  }

  const RunResult run = runWriter(scene, writer, target);

  EXPECT_EQ(run.exitCode, 1) << "a run that hung was killed by SIGALRM (142)\n" << run.out << run.err;
  if (writer == Writer::brackwell) {
    const std::string last = "Error writing output file\n";
    EXPECT_TRUE(run.out.size() >= last.size() &&
                run.out.compare(run.out.size() - last.size(), last.size(), last) == 0)
        << run.out;
  } else {
    // Which rule refused it.
    const std::string uid = std::to_string(attacker.uid);
    const std::string shared = scene.path("shared");
    std::string reason;
    switch (planted) {
    case Planted::link:
    case Planted::danglingLink:
      reason = "'" + target + "' is a symbolic link that another user (uid " + uid +
               ") made in the shared directory '" + shared + "'; it is not followed";
      break;
    case Planted::hardLink:
      reason = "'" + target + "' has 2 links in the shared directory '" + shared +
               "'; a file with more than one link there is not used";
      break;
    case Planted::hardLinkToRootsLink:
      reason = "'" + target + "' is a symbolic link with 2 links in the shared directory '" + shared +
               "'; a symbolic link with more than one link there is not followed";
      break;
    case Planted::fifo:
      reason = writer == Writer::extract ? "'" + target + "' belongs to another user (uid " + uid +
                                               ") in the shared directory '" + shared + "'; it is not used"
               : inPlace ? "'" + target + "' is not a regular file"
                         : "the output '" + target + "' exists and is not a regular file";
      break;
    case Planted::ownFile:
      reason = "'" + target + "' belongs to another user (uid " + uid + ") in the shared directory '" +
               shared + "'; it is not used";
      break;
    }
    const std::string reader = writer == Writer::extract ? "Extracting profile from DMG at '" +
                                                               scene.path("work/stamped.dmg") + "'\n"
                                                         : "";
    EXPECT_EQ(run.err, reader + "brackwell-stamp: " + reason + "\n");
  }
  for (const std::string& victim : victims) {
    EXPECT_EQ(stateOf(victim), before[victim]) << victim;
  }
  EXPECT_EQ(testsupport::listDirectory(scene.path("shared")), std::vector<std::string>{"Acme.dmg"})
      << "nothing else may appear in the shared directory";
  EXPECT_EQ(readFile(scene.path("work/stamped.dmg")), STAMPED);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Attack,
    ::testing::Combine(::testing::Values(Planted::link, Planted::danglingLink, Planted::hardLink,
                                         Planted::hardLinkToRootsLink, Planted::fifo, Planted::ownFile),
                       ::testing::Values(Writer::brackwell, Writer::write, Writer::remove, Writer::unsign,
                                         Writer::extract, Writer::inPlace)),
    [](const ::testing::TestParamInfo<std::tuple<Planted, Writer>>& row) {
      return nameOf(std::get<0>(row.param)) + "_" + nameOf(std::get<1>(row.param));
    });

// The attack table's second part. The attacker hard-links one of root's
// world-readable files (0644) into a directory of its own and opens it;
// root deletes its own name for it, as it deletes every file it replaces;
// the attacker moves its link into the shared directory under the name a
// run of root's is about to write. The file is root's, with one link: no
// rule can tell it from a file root made there. Written into, it would keep
// its mode 0644 under root's umask 077 and hand what root writes (a
// customer's licence) to the descriptor the attacker holds. Every writer
// must put a new file of its own under the name instead, with the mode a
// new file gets, and leave the old one as it was: still the attacker's to
// read, and holding only what it held. A stamp in place is after one of
// root's images; its new image keeps the image's own mode, as in place it
// always does.
class MovedIn : public OnHostileMachine<Writer> {};

TEST_P(MovedIn, RootsFileIsReplacedNeverWrittenInto) {
  const Writer writer = GetParam();
  const Scene scene;
  const std::string target = scene.shared("Acme.dmg");
  const bool inPlace = writer == Writer::inPlace;
  const std::string original = scene.path(inPlace ? "victim/image.dmg" : "victim/secret");
  const Bytes held = readFile(original);
  const Identity attacker = HostileMachine::attacker();
  const std::string theirs = scene.path("theirs");
  ASSERT_EQ(mkdir(theirs.c_str(), 0700), 0);
  ASSERT_EQ(chown(theirs.c_str(), attacker.uid, attacker.gid), 0);
  const std::string kept = theirs + "/kept";
  ASSERT_TRUE(as(attacker, [&] { return link(original.c_str(), kept.c_str()) == 0; }));
  const fileio::Fd heldOpen(open(kept.c_str(), O_RDONLY | O_CLOEXEC)); // as the attacker holds it
  ASSERT_TRUE(heldOpen.valid());
  ASSERT_EQ(unlink(original.c_str()), 0) << "root deletes its own name";
  ASSERT_TRUE(as(attacker, [&] { return rename(kept.c_str(), target.c_str()) == 0; }));
  struct stat planted {};
  ASSERT_EQ(lstat(target.c_str(), &planted), 0);
  ASSERT_EQ(planted.st_uid, 0u);
  ASSERT_EQ(planted.st_nlink, 1u);

  const mode_t savedMask = umask(077);
  const RunResult run = runWriter(scene, writer, target);
  umask(savedMask);

  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  const std::map<Writer, Bytes> written = {{Writer::brackwell, PROFILE}, {Writer::write, STAMPED},
                                           {Writer::remove, PLAIN},      {Writer::unsign, PLAIN},
                                           {Writer::extract, PROFILE},   {Writer::inPlace, STAMPED}};
  FileState expected;
  expected.exists = true;
  expected.mode = S_IFREG | (inPlace ? 0644 : 0600);
  expected.uid = 0;
  expected.links = 1;
  expected.bytes = written.at(writer);
  EXPECT_EQ(stateOf(target), expected);
  struct stat now {};
  ASSERT_EQ(lstat(target.c_str(), &now), 0);
  EXPECT_NE(now.st_ino, planted.st_ino) << "a new file, not the one moved in";
  struct stat old {};
  ASSERT_EQ(fstat(heldOpen.get(), &old), 0);
  EXPECT_EQ(old.st_nlink, 0u) << "the file moved in is no longer named anywhere";
  EXPECT_EQ(old.st_mode & 07777, 0644u);
  Bytes stillHeld(static_cast<std::size_t>(old.st_size));
  ASSERT_EQ(pread(heldOpen.get(), stillHeld.data(), stillHeld.size(), 0),
            static_cast<ssize_t>(stillHeld.size()));
  EXPECT_EQ(stillHeld, held) << "what the attacker holds must not have received a byte";
  EXPECT_EQ(testsupport::listDirectory(scene.path("shared")), std::vector<std::string>{"Acme.dmg"});
}

INSTANTIATE_TEST_SUITE_P(Table, MovedIn,
                         ::testing::Values(Writer::brackwell, Writer::write, Writer::remove, Writer::unsign,
                                           Writer::extract, Writer::inPlace),
                         [](const ::testing::TestParamInfo<Writer>& row) { return nameOf(row.param); });

class Hostile : public ::testing::Test {
protected:
  void SetUp() override {
    if (!HostileMachine::why().empty()) {
      GTEST_SKIP() << HostileMachine::why();
    }
  }
  Scene scene;
};

// What must go on working: the caller's own link, and one the shared
// directory's owner made (the rule Linux applies), a file of the caller's,
// /dev/stdout, a plain directory.
struct UseCase {
  std::string name;
  std::function<std::string(const Scene&)> prepare; // makes what the output path needs; returns it
  std::string written; // relative to the scene: the file that must hold the result
};

void PrintTo(const UseCase& row, std::ostream* os) {
  *os << row.name;
}

std::vector<UseCase> uses() {
  return {
      {"OwnLinkInTheSharedDirectory",
       [](const Scene& s) {
         EXPECT_EQ(symlink(s.path("work/target").c_str(), s.shared("mine").c_str()), 0);
         return s.shared("mine");
       },
       "work/target"},
      {"LinkOfTheSharedDirectorysOwner",
       [](const Scene& s) {
         // A shared directory of the attacker's: their links there are the
         // directory owner's, and followed.
         const std::string theirs = s.path("theirs");
         EXPECT_EQ(mkdir(theirs.c_str(), 0700), 0);
         EXPECT_EQ(chown(theirs.c_str(), HostileMachine::attacker().uid, HostileMachine::attacker().gid), 0);
         EXPECT_EQ(chmod(theirs.c_str(), 01777), 0);
         const std::string link = theirs + "/out";
         EXPECT_TRUE(as(HostileMachine::attacker(),
                        [&] { return symlink(s.path("work/target").c_str(), link.c_str()) == 0; }));
         return link;
       },
       "work/target"},
      {"OwnFileInTheSharedDirectory",
       [](const Scene& s) {
         s.put("shared/mine", toBytes("an older version, longer than the new one"), 0644);
         return s.shared("mine");
       },
       "shared/mine"},
      {"NewNameInTheSharedDirectory", [](const Scene& s) { return s.shared("new"); }, "shared/new"},
      {"PlainDirectory", [](const Scene& s) { return s.path("work/out"); }, "work/out"},
  };
}

class KeepsWorking : public OnHostileMachine<UseCase> {};

TEST_P(KeepsWorking, Brackwell) {
  const Scene scene;
  const std::string output = GetParam().prepare(scene);
  const RunResult run = scene.brackwell(scene.path("work/stamped.dmg"), output);
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(readFile(scene.path(GetParam().written)), PROFILE);
}

TEST_P(KeepsWorking, WriteOut) {
  const Scene scene;
  const std::string output = GetParam().prepare(scene);
  const RunResult run =
      scene.stamp({"write", scene.path("work/plain.dmg"), scene.path("work/profile.bin"), "--out", output});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(readFile(scene.path(GetParam().written)), STAMPED);
}

TEST_P(KeepsWorking, ExtractOut) {
  const Scene scene;
  const std::string output = GetParam().prepare(scene);
  const RunResult run = scene.stamp({"extract", scene.path("work/stamped.dmg"), "--out", output});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(readFile(scene.path(GetParam().written)), PROFILE);
}

INSTANTIATE_TEST_SUITE_P(Uses, KeepsWorking, ::testing::ValuesIn(uses()),
                         [](const ::testing::TestParamInfo<UseCase>& row) { return row.param.name; });

TEST_F(Hostile, BrackwellStillWritesToStandardOutput) {
  const RunResult run = scene.brackwell(scene.path("work/stamped.dmg"), "/dev/stdout");
  EXPECT_EQ(run.exitCode, 0) << run.out;
  const std::string profile(PROFILE.begin(), PROFILE.end());
  EXPECT_NE(run.out.find(profile + "Profile extracted to: /dev/stdout\n"), std::string::npos) << run.out;
}

// Stamping in place, as an account that cannot give files away, an image
// that belongs to someone else: the new file is the runner's, and a set-id
// bit on it would make a set-id program of the runner's out of the other
// account's image. It keeps its permissions but not those bits.
TEST_F(Hostile, InPlaceStampDropsSetIdBitsItCannotKeepTheOwnerFor) {
  const std::string dir = scene.path("writable");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0777), 0); // writable by all, not sticky
  const std::string image = dir + "/tool.dmg";
  ASSERT_TRUE(as(HostileMachine::attacker(), [&] {
    const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    const bool ok = fd >= 0 && write(fd, PLAIN.data(), PLAIN.size()) == static_cast<ssize_t>(PLAIN.size()) &&
                    fchmod(fd, 06755) == 0;
    close(fd);
    return ok;
  }));
  ChildSetup setup;
  setup.runAs = testsupport::NOBODY;

  const RunResult run = scene.stamp({"write", image, scene.path("work/profile.bin")}, setup);

  ASSERT_NE(run.exitCode, testsupport::CANNOT_DROP_PRIVILEGES);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  struct stat st {};
  ASSERT_EQ(stat(image.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, testsupport::NOBODY.uid);
  EXPECT_EQ(st.st_mode & 07777, 0755u) << "the set-id bits stay behind, the rest of the mode comes along";
  EXPECT_EQ(readFile(image), STAMPED);
}

// The clean-up of leftovers removes only temporary files of the runner's
// own for this destination: never the run's own input, however it is
// named, and never another account's file of that shape.
TEST_F(Hostile, LeftoverCleanUpTouchesOnlyTheRunnersOwnFiles) {
  // An input named like a temporary file of the output.
  scene.put("work/.Acme.dmg.stamp-v20251", PLAIN, 0644);
  // In the shared directory, the attacker's file of that shape, unlocked.
  const std::string theirs = scene.shared(".Acme.dmg.stamp-abc123");
  ASSERT_TRUE(as(HostileMachine::attacker(), [&] {
    const int fd = open(theirs.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    const bool ok = fd >= 0 && write(fd, "theirs", 6) == 6;
    close(fd);
    return ok;
  }));

  const RunResult own = scene.stamp({"write", scene.path("work/.Acme.dmg.stamp-v20251"),
                                     scene.path("work/profile.bin"), "--out", scene.path("work/Acme.dmg")});
  const RunResult shared = scene.stamp({"write", scene.path("work/plain.dmg"), scene.path("work/profile.bin"),
                                        "--out", scene.shared("Acme.dmg")});

  EXPECT_EQ(own.exitCode, 0) << own.err;
  EXPECT_EQ(readFile(scene.path("work/.Acme.dmg.stamp-v20251")), PLAIN) << "the run's own input";
  EXPECT_EQ(readFile(scene.path("work/Acme.dmg")), STAMPED);
  EXPECT_EQ(shared.exitCode, 0) << shared.err;
  EXPECT_EQ(shared.err.find("removed"), std::string::npos) << shared.err;
  EXPECT_EQ(readFile(theirs), toBytes("theirs")) << "another account's file";
  EXPECT_EQ(readFile(scene.shared("Acme.dmg")), STAMPED);
}

// Anyone who can read an image can lock it. A stamp in place waits for the
// lock only as long as --wait says, then fails, saying who is in the way.
TEST_F(Hostile, ALockHeldByAnotherAccountEndsTheWaitInTime) {
  const std::string image = scene.path("work/plain.dmg");
  int ready[2];
  int release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    close(ready[0]);
    close(release[1]);
    const Identity attacker = HostileMachine::attacker();
    if (setgroups(0, nullptr) != 0 || setgid(attacker.gid) != 0 || setuid(attacker.uid) != 0) {
      _exit(1);
    }
    const int fd = open(image.c_str(), O_RDONLY);
    if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(ready[1], "x", 1) != 1) {
      _exit(1);
    }
    char byte;
    while (read(release[0], &byte, 1) > 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the attacker could not lock the image";

  const auto started = std::chrono::steady_clock::now();
  const RunResult run = scene.stamp({"write", image, scene.path("work/profile.bin"), "--wait", "1"});
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  close(release[1]);
  close(ready[0]);
  int status = 0;
  waitpid(holder, &status, 0);

  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "brackwell-stamp: waiting for another run that is changing '" + image +
                         "'\nbrackwell-stamp: another process has held a lock on '" + image +
                         "' for 1 s; giving up (--wait sets how long to wait)\n");
  EXPECT_LT(seconds, 20) << "the wait ended long after --wait";
  EXPECT_EQ(readFile(image), PLAIN);
  EXPECT_EQ(testsupport::listDirectory(scene.path("work")),
            (std::vector<std::string>{"plain.dmg", "profile.bin", "signed.dmg", "stamped.dmg"}));
}

// `extract IMAGE >> IMAGE`: the shell opens the image for appending as
// standard output; the profile appended to it would leave an image whose
// last 512 bytes are no longer its trailer.
TEST_F(Hostile, ExtractRefusesAStandardOutputThatIsTheImage) {
  ChildSetup setup;
  setup.standardOutput = StandardOutput::file;
  setup.stdoutPath = scene.path("work/stamped.dmg");
  const RunResult run = scene.stamp({"extract", scene.path("work/stamped.dmg")}, setup);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "Extracting profile from DMG at '" + scene.path("work/stamped.dmg") +
                         "'\nbrackwell-stamp: the output (standard output) is the image itself\n");
  EXPECT_EQ(readFile(scene.path("work/stamped.dmg")), STAMPED);
}

// An image (sparse, so it costs no disk) whose descriptor declares the
// largest profile there is, 4 GiB - 1 bytes, read under an address-space
// limit far below that: brackwell fails cleanly instead of dying of an
// uncaught allocation failure, and extract, which streams, succeeds.
class HugeProfile : public Hostile {
protected:
  void SetUp() override {
    Hostile::SetUp();
    if (IsSkipped()) {
      return;
    }
    if (std::getenv("BRACKWELL_SANITIZED") != nullptr) {
      GTEST_SKIP() << "the sanitizers reserve terabytes of address space: no address-space limit fits them";
    }
    image = scene.path("work/huge.dmg");
    constexpr std::uint64_t LENGTH = 0xffffffffu;
    const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const Bytes end = cat({testsupport::descriptor(LENGTH), testsupport::udifTrailer()});
    ASSERT_EQ(pwrite(fd, end.data(), end.size(), static_cast<off_t>(LENGTH)),
              static_cast<ssize_t>(end.size()));
    close(fd);
  }
  std::string image;
};

constexpr rlim_t ADDRESS_SPACE = rlim_t{1} << 30; // 1 GiB

TEST_F(HugeProfile, BrackwellFailsWithoutAborting) {
  ChildSetup setup;
  setup.maxAddressSpace = ADDRESS_SPACE;
  const RunResult run = scene.brackwell(image, scene.path("work/out"), setup);
  EXPECT_EQ(run.exitCode, 1) << run.out;
  const std::string last = "Extracting profile from DMG at '" + image +
                           "'\nCan't read profile data: not enough memory for 4294967295 bytes\n"
                           "Can't extract profile from DMG.\n";
  EXPECT_TRUE(run.out.size() >= last.size() &&
              run.out.compare(run.out.size() - last.size(), last.size(), last) == 0)
      << run.out;
  EXPECT_FALSE(stateOf(scene.path("work/out")).exists);
}

TEST_F(HugeProfile, ExtractStreamsIt) {
  ChildSetup setup;
  setup.maxAddressSpace = ADDRESS_SPACE;
  setup.standardOutput = StandardOutput::file;
  setup.stdoutPath = "/dev/null";
  const RunResult run = scene.stamp({"extract", image}, setup);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "Extracting profile from DMG at '" + image +
                         "'\nbrackwell-stamp: extracted a profile of 4294967295 bytes\n");
}

// A file-size limit below the profile: the write fails with EFBIG and the
// run says so, instead of dying of SIGXFSZ with a partial file and no word.
TEST_F(Hostile, FileSizeLimitFailsTheWriteNotTheProcess) {
  ChildSetup setup;
  setup.maxFileSize = 10;
  const RunResult brackwell = scene.brackwell(scene.path("work/stamped.dmg"), scene.path("work/out"), setup);
  EXPECT_EQ(brackwell.exitCode, 1) << brackwell.out;
  const std::string last = "Error writing output file\n";
  EXPECT_TRUE(brackwell.out.size() >= last.size() &&
              brackwell.out.compare(brackwell.out.size() - last.size(), last.size(), last) == 0)
      << brackwell.out;

  const RunResult extract =
      scene.stamp({"extract", scene.path("work/stamped.dmg"), "--out", scene.path("work/x")}, setup);
  EXPECT_EQ(extract.exitCode, 1);
  EXPECT_NE(extract.err.find("File too large"), std::string::npos) << extract.err;
}

} // namespace
