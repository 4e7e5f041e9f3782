#include "backends/program.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include <fmt/format.h>

extern char** environ;

namespace q_core::backends {

static_assert(sizeof(Tensor) == 3 * sizeof(void*) && offsetof(Tensor, rank) == 2 * sizeof(void*));
static_assert(sizeof(TensorMut) == 3 * sizeof(void*));
static_assert(sizeof(View) == 3 * sizeof(void*) && sizeof(ViewMut) == 3 * sizeof(void*));

namespace {

using u128 = unsigned __int128;

std::string u128_to_string(u128 value) {
  if (value == 0) return "0";
  std::string digits;
  while (value != 0) {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  }
  return digits;
}

// Decimal digits only, no more than fit in 128 bits.
std::optional<u128> parse_u128(std::string_view digits) {
  if (digits.empty() || digits.size() > 38) return std::nullopt;
  u128 value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<u128>(c - '0');
  }
  return value;
}

std::string_view signal_name(int sig) {
  switch (sig) {
    case SIGHUP:
      return "SIGHUP";
    case SIGINT:
      return "SIGINT";
    case SIGQUIT:
      return "SIGQUIT";
    case SIGILL:
      return "SIGILL";
    case SIGTRAP:
      return "SIGTRAP";
    case SIGABRT:
      return "SIGABRT";
    case SIGBUS:
      return "SIGBUS";
    case SIGFPE:
      return "SIGFPE";
    case SIGKILL:
      return "SIGKILL";
    case SIGUSR1:
      return "SIGUSR1";
    case SIGSEGV:
      return "SIGSEGV";
    case SIGUSR2:
      return "SIGUSR2";
    case SIGPIPE:
      return "SIGPIPE";
    case SIGALRM:
      return "SIGALRM";
    case SIGTERM:
      return "SIGTERM";
    case SIGSTKFLT:
      return "SIGSTKFLT";
    case SIGCHLD:
      return "SIGCHLD";
    case SIGCONT:
      return "SIGCONT";
    case SIGSTOP:
      return "SIGSTOP";
    case SIGTSTP:
      return "SIGTSTP";
    case SIGTTIN:
      return "SIGTTIN";
    case SIGTTOU:
      return "SIGTTOU";
    case SIGURG:
      return "SIGURG";
    case SIGXCPU:
      return "SIGXCPU";
    case SIGXFSZ:
      return "SIGXFSZ";
    case SIGVTALRM:
      return "SIGVTALRM";
    case SIGPROF:
      return "SIGPROF";
    case SIGWINCH:
      return "SIGWINCH";
    case SIGIO:
      return "SIGIO";
    case SIGPWR:
      return "SIGPWR";
    case SIGSYS:
      return "SIGSYS";
    default:
      return "?";
  }
}

// Writes all of `text` to `fd`; the errno of the first failure otherwise.
std::optional<int> write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

// How many numbers create_source_file tries before it gives up; only a
// directory cluttered beyond reason gets there.
constexpr u128 kMaxNameAttempts = 10000;

}  // namespace

// ------------------------------------------------------------- Program

Program::Program(std::string path, CountFn count, RanksFn ranks, ShapesFn shapes, ExecFn exec,
                 loader::Library library, Device device)
    : path_(std::move(path)),
      count_(count),
      ranks_(ranks),
      shapes_(shapes),
      exec_(exec),
      library_(std::move(library)),
      device_(device) {}

Program::Program(Program&& other) noexcept
    : path_(std::exchange(other.path_, {})),
      count_(std::exchange(other.count_, nullptr)),
      ranks_(std::exchange(other.ranks_, nullptr)),
      shapes_(std::exchange(other.shapes_, nullptr)),
      exec_(std::exchange(other.exec_, nullptr)),
      library_(std::move(other.library_)),
      device_(other.device_) {}

Program& Program::operator=(Program&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::exchange(other.path_, {});
    count_ = std::exchange(other.count_, nullptr);
    ranks_ = std::exchange(other.ranks_, nullptr);
    shapes_ = std::exchange(other.shapes_, nullptr);
    exec_ = std::exchange(other.exec_, nullptr);
    library_ = std::move(other.library_);
    device_ = other.device_;
  }
  return *this;
}

Program::~Program() {
  release();
}

void Program::release() {
  // Someone else may have removed the file already; that is not an error.
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
  // Closing happens when library_ is replaced or destroyed.
}

std::expected<Program, std::string> load_program(std::string path, Device device) {
  auto library = loader::Library::open(path);
  if (!library) return std::unexpected(std::move(library.error()));
  void* entries[4] = {};
  const char* const names[4] = {"count", "ranks", "shapes", "exec"};
  for (int i = 0; i < 4; ++i) {
    auto address = library->symbol(names[i]);
    if (!address) return std::unexpected(std::move(address.error()));
    // Calling a null entry point would crash the caller, so such an object
    // is not a program.
    if (*address == nullptr)
      return std::unexpected(fmt::format("entry point {} is null", names[i]));
    entries[i] = *address;
  }
  return Program(std::move(path), reinterpret_cast<CountFn>(entries[0]),
                 reinterpret_cast<RanksFn>(entries[1]), reinterpret_cast<ShapesFn>(entries[2]),
                 reinterpret_cast<ExecFn>(entries[3]), std::move(*library), device);
}

std::expected<std::string, std::string> unique_string() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec < 0) return std::unexpected("the system clock reads a time before 1970");
  const u128 nanos = static_cast<u128>(now.tv_sec) * 1000000000u + static_cast<u128>(now.tv_nsec);
  return u128_to_string(nanos);
}

// ------------------------------------------------ shared by the backends

std::filesystem::path temp_dir() {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') return "/tmp";
  return dir;
}

std::string system_error_text(int errnum) {
  char buffer[256];
  const char* description = ::strerror_r(errnum, buffer, sizeof buffer);
  return fmt::format("{} (os error {})", description, errnum);
}

std::string exit_status_text(int wait_status) {
  if (WIFEXITED(wait_status)) return fmt::format("exit status: {}", WEXITSTATUS(wait_status));
  if (WIFSIGNALED(wait_status)) {
    const int sig = WTERMSIG(wait_status);
    return fmt::format("signal: {} ({}){}", sig, signal_name(sig),
                       WCOREDUMP(wait_status) ? " (core dumped)" : "");
  }
  return fmt::format("unrecognised wait status: {} {:#x}", wait_status, wait_status);
}

std::expected<BuildFiles, std::string> create_source_file(const std::filesystem::path& dir,
                                                          std::string_view prefix,
                                                          std::string_view source_extension,
                                                          std::string_view first,
                                                          std::string_view text) {
  const std::optional<u128> start = parse_u128(first);
  if (!start) return std::unexpected(fmt::format("invalid file number {}", first));
  for (u128 k = 0; k < kMaxNameAttempts; ++k) {
    const std::string stem = fmt::format("{}{}", prefix, u128_to_string(*start + k));
    BuildFiles files{
        .source = (dir / fmt::format("{}.{}", stem, source_extension)).string(),
        .library = (dir / fmt::format("{}.{}", stem, "so")).string(),
    };
    const int fd = ::open(files.source.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return std::unexpected(system_error_text(errno));
    }
    // The shared object outlives the source file; its name must be free too.
    struct stat existing {};
    if (::lstat(files.library.c_str(), &existing) == 0) {
      ::close(fd);
      ::unlink(files.source.c_str());
      continue;
    }
    std::optional<int> failure = write_all(fd, text);
    if (::close(fd) != 0 && !failure) failure = errno;
    if (failure) return std::unexpected(system_error_text(*failure));
    return files;
  }
  return std::unexpected(fmt::format("no free file name in {} after {} attempts", dir.string(),
                                     static_cast<unsigned long long>(kMaxNameAttempts)));
}

std::expected<BuildFiles, std::string> create_source_file(std::string_view prefix,
                                                          std::string_view source_extension,
                                                          std::string_view text) {
  auto first = unique_string();
  if (!first) return std::unexpected(std::move(first.error()));
  return create_source_file(temp_dir(), prefix, source_extension, *first, text);
}

std::expected<int, std::string> run_child(const std::string& program,
                                          const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int error = ::posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
  if (error != 0) return std::unexpected(system_error_text(error));
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::unexpected(system_error_text(errno));
  }
  return status;
}

}  // namespace q_core::backends
