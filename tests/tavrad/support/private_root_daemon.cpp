#include "tavrad/support/private_root_daemon.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tavra::test {

namespace {

// What the child needs, worked out before the fork so that the child only makes system calls.
struct Plan {
  std::string root;
  std::string binary;
  std::string httpModule;  // bound in beside the binary; none when empty
  bool asNobody = false;
  std::vector<std::string> binds;                          // top-level folders
  std::vector<std::pair<std::string, std::string>> links;  // top-level links: name, target
};

constexpr const char* systemFolders[] = {"bin",    "sbin", "lib", "lib32", "lib64",
                                         "libx32", "usr",  "etc", "proc"};
constexpr const char* devices[] = {"null", "zero", "full", "random", "urandom", "tty"};
constexpr uid_t nobody = 65534;
// Where the daemon's binary is bound in the root. Not named tavrad: `tavractl apply`, run by
// anyone on this machine, signals every process whose executable is called that.
constexpr const char* insideBinary = "/tavrad-test/tavrad-under-test";
// Beside it, where the daemon looks for its HTTP module.
constexpr const char* insideHttpModule = "/tavrad-test/tavra-http.so";

int unavailable(int report, const std::string& what) {
  writeReport(report, "unavailable: " + what + ": " + std::strerror(errno) + "\n");
  return 2;
}

bool makeFile(const std::string& path) {
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// In the child: the private root, then (once the test says go) the daemon.
int enterRootAndRun(const Plan& plan, int report, int go) {
  const std::string& root = plan.root;
  // A network namespace of its own too: the daemon reaches nothing beyond the machine.
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return unavailable(report, "unshare");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return unavailable(report, "making the mounts private");
  }
  if (mount("tavra-test-root", root.c_str(), "tmpfs", 0, "mode=0755") != 0) {
    return unavailable(report, "tmpfs");
  }
  for (const std::string& name : plan.binds) {
    const std::string target = root + "/" + name;
    if (mkdir(target.c_str(), 0755) != 0 ||
        mount(("/" + name).c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      return unavailable(report, "binding /" + name);
    }
  }
  for (const auto& [name, target] : plan.links) {
    if (symlink(target.c_str(), (root + "/" + name).c_str()) != 0) {
      return unavailable(report, "linking /" + name);
    }
  }
  if (mkdir((root + "/dev").c_str(), 0755) != 0) return unavailable(report, "/dev");
  for (const char* device : devices) {
    const std::string source = std::string("/dev/") + device;
    const std::string target = root + source;
    if (access(source.c_str(), F_OK) != 0) continue;
    if (!makeFile(target) ||
        mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return unavailable(report, "binding " + source);
    }
  }
  const std::string binary = root + insideBinary;
  if (mkdir((root + "/Library").c_str(), 0755) != 0 ||
      mkdir((root + "/tavrad-test").c_str(), 0755) != 0 || !makeFile(binary) ||
      mount(plan.binary.c_str(), binary.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    return unavailable(report, "placing the daemon");
  }
  if (!plan.httpModule.empty()) {
    const std::string module = root + insideHttpModule;
    if (!makeFile(module) ||
        mount(plan.httpModule.c_str(), module.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return unavailable(report, "placing the HTTP module");
    }
  }
  if (chroot(root.c_str()) != 0 || chdir("/") != 0) return unavailable(report, "chroot");
  writeReport(report, "ready\n");

  char byte = 0;
  while (read(go, &byte, 1) < 0 && errno == EINTR) {
  }
  if (byte != 'g') return 0;
  close(report);
  if (plan.asNobody && (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)) {
    return 126;
  }
  char name[] = "tavrad";
  char* argv[] = {name, nullptr};
  execv(insideBinary, argv);
  return 127;
}

Logger::Level levelOf(int priority) {
  switch (priority & 7) {
    case 3:
      return Logger::Level::error;
    case 6:
      return Logger::Level::info;
    default:
      return Logger::Level::default_;
  }
}

// "<29>Dec 10 13:20:01 com.zelkorandin.tavra[42]: [daemon] text" as syslog(3) sends it.
PrivateRootDaemon::Line parse(std::string datagram) {
  while (!datagram.empty() && (datagram.back() == '\n' || datagram.back() == '\0')) {
    datagram.pop_back();
  }
  PrivateRootDaemon::Line line;
  int priority = 5;
  if (datagram.starts_with('<')) {
    const std::size_t end = datagram.find('>');
    if (end != std::string::npos) priority = std::atoi(datagram.substr(1, end - 1).c_str());
  }
  line.level = levelOf(priority);
  std::string message = datagram;
  if (const std::size_t start = datagram.find("]: "); start != std::string::npos) {
    message = datagram.substr(start + 3);
  }
  if (message.starts_with('[')) {
    const std::size_t end = message.find("] ");
    if (end != std::string::npos) {
      line.category = message.substr(1, end - 1);
      message = message.substr(end + 2);
    }
  }
  line.text = std::move(message);
  return line;
}

}  // namespace

PrivateRootDaemon::PrivateRootDaemon(bool asNobody, bool withHttpModule) {
  if (geteuid() != 0) {
    unavailable_ = "the private root needs root";
    return;
  }
  Plan plan;
  plan.root = tree_.mkdir("root");
  plan.binary = TAVRAD_BINARY;
  if (withHttpModule) plan.httpModule = TAVRA_HTTP_MODULE;
  plan.asNobody = asNobody;
  for (const char* name : systemFolders) {
    const std::string host = std::string("/") + name;
    struct stat info {};
    if (lstat(host.c_str(), &info) != 0) continue;
    if (S_ISLNK(info.st_mode)) {
      plan.links.emplace_back(name, std::filesystem::read_symlink(host).string());
    } else if (S_ISDIR(info.st_mode)) {
      plan.binds.emplace_back(name);
    }
  }

  int go[2];
  if (pipe2(go, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
  child_ = std::make_unique<ForkedChild>([plan, go](int report) {
    close(go[1]);
    return enterRootAndRun(plan, report, go[0]);
  });
  close(go[0]);
  go_ = go[1];

  const auto answer = child_->read(6, std::chrono::seconds(60));
  if (!answer || *answer != "ready\n") {
    const auto rest = child_->readToEnd(std::chrono::seconds(10));
    unavailable_ = answer.value_or("") + rest.value_or("");
    if (unavailable_->empty()) unavailable_ = "the private root did not come up";
    return;
  }

  log_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = path("/dev/log");
  if (log_ < 0 || socketPath.size() >= sizeof address.sun_path) {
    throw std::runtime_error("cannot make the log socket");
  }
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  if (bind(log_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      chmod(socketPath.c_str(), 0666) != 0) {
    throw std::runtime_error("cannot bind the log socket: " + std::string(std::strerror(errno)));
  }
  if (pipe2(stopReader_, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
  reader_ = std::thread([this] { receive(); });
}

PrivateRootDaemon::~PrivateRootDaemon() {
  child_.reset();
  if (reader_.joinable()) {
    const char stop = 's';
    [[maybe_unused]] const ssize_t ignored = ::write(stopReader_[1], &stop, 1);
    reader_.join();
  }
  for (int fd : {go_, log_, stopReader_[0], stopReader_[1]}) {
    if (fd >= 0) close(fd);
  }
}

std::string PrivateRootDaemon::path(std::string_view inside) const {
  return "/proc/" + std::to_string(child_->pid()) + "/root" + std::string(inside);
}

void PrivateRootDaemon::write(std::string_view inside, std::string_view bytes, mode_t mode) const {
  const std::filesystem::path target = path(inside);
  std::filesystem::create_directories(target.parent_path());
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  out.close();
  if (!out || chmod(target.c_str(), mode) != 0) {
    throw std::runtime_error("cannot write " + target.string());
  }
}

std::string PrivateRootDaemon::read(std::string_view inside) const {
  return readFile(path(inside));
}

void PrivateRootDaemon::start() {
  const char go = 'g';
  if (::write(go_, &go, 1) != 1) throw std::runtime_error("cannot start the daemon");
  close(go_);
  go_ = -1;
}

void PrivateRootDaemon::signal(int signal) {
  child_->kill(signal);
}

pid_t PrivateRootDaemon::pid() const {
  return child_->pid();
}

void PrivateRootDaemon::receive() {
  char buffer[16 * 1024];
  for (;;) {
    pollfd fds[2] = {{log_, POLLIN, 0}, {stopReader_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const ssize_t got = recv(log_, buffer, sizeof buffer, 0);
    if (got <= 0) continue;
    Line line = parse(std::string(buffer, std::size_t(got)));
    {
      std::lock_guard lock(mutex_);
      lines_.push_back(std::move(line));
    }
    arrived_.notify_all();
  }
}

std::optional<PrivateRootDaemon::Line> PrivateRootDaemon::waitFor(
    const std::function<bool(const Line&)>& match, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mutex_);
  std::size_t next = cursor_;
  for (;;) {
    for (; next < lines_.size(); ++next) {
      if (match(lines_[next])) {
        cursor_ = next + 1;
        return lines_[next];
      }
    }
    if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout && next == lines_.size()) {
      return std::nullopt;
    }
  }
}

std::optional<PrivateRootDaemon::Line> PrivateRootDaemon::waitFor(
    std::string_view category, std::string_view text, std::chrono::milliseconds timeout) {
  return waitFor([&](const Line& line) { return line.category == category && line.text == text; },
                 timeout);
}

std::vector<PrivateRootDaemon::Line> PrivateRootDaemon::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool PrivateRootDaemon::waitUntilIdle(std::chrono::milliseconds timeout) const {
  // Nothing the daemon sends marks the end of a run's last step, so this looks at the system
  // call its main thread is in, a few times a millisecond apart.
  const std::string syscallFile =
      "/proc/" + std::to_string(pid()) + "/task/" + std::to_string(pid()) + "/syscall";
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(syscallFile);
    long number = -1;
    if (in >> number && (number == SYS_epoll_wait || number == SYS_epoll_pwait)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

int PrivateRootDaemon::waitForExit(std::chrono::milliseconds timeout) {
  return child_->wait(timeout);
}

}  // namespace tavra::test
