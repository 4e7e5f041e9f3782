#include "loader.h"

#include <sys/wait.h>
#include <time.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "backends/program.h"

namespace {

namespace fs = std::filesystem;
using q_core::backends::create_source_file;
using q_core::loader::Library;

// A fresh empty directory, removed with its contents at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "quarn_test_XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::set<std::string> file_names(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Library, RejectsBadPaths) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/tmp/\xff.so", "library path is not valid UTF-8"},
      {std::string("/tmp/a\0b.so", 11), "library path contains NUL"},
      {"/nonexistent/quarn.so",
       "/nonexistent/quarn.so: cannot open shared object file: No such file or directory"},
  };
  for (const auto& [path, message] : cases) {
    const auto library = Library::open(path);
    ASSERT_FALSE(library.has_value()) << message;
    EXPECT_EQ(library.error(), message);
  }
  const auto program =
      q_core::backends::load_program("/nonexistent/quarn.so", q_core::backends::Device::Cpu);
  ASSERT_FALSE(program.has_value());
  EXPECT_EQ(program.error(),
            "/nonexistent/quarn.so: cannot open shared object file: No such file or directory");
}

TEST(Library, ResolvesSymbolsAndReportsMissingOnes) {
  auto library = Library::open("libm.so.6");
  ASSERT_TRUE(library.has_value()) << library.error();
  const auto cosf = library->symbol("cosf");
  ASSERT_TRUE(cosf.has_value()) << cosf.error();
  EXPECT_NE(*cosf, nullptr);

  const auto missing = library->symbol("quarn_no_such_symbol");
  ASSERT_FALSE(missing.has_value());
  EXPECT_TRUE(missing.error().ends_with("undefined symbol: quarn_no_such_symbol"))
      << missing.error();

  // dlerror's text is decoded with ill-formed bytes replaced.
  const auto garbled = library->symbol("bad\xff\xe2\x82");
  ASSERT_FALSE(garbled.has_value());
  EXPECT_TRUE(garbled.error().ends_with("undefined symbol: bad\xEF\xBF\xBD\xEF\xBF\xBD"))
      << garbled.error();

  EXPECT_EQ(q_core::loader::dlerror_string(), "");
}

TEST(UniqueString, IsTheClockInNanoseconds) {
  timespec before{};
  ::clock_gettime(CLOCK_REALTIME, &before);
  const auto text = q_core::backends::unique_string();
  ASSERT_TRUE(text.has_value());
  ASSERT_FALSE(text->empty());
  EXPECT_NE((*text)[0], '0');
  EXPECT_EQ(text->find_first_not_of("0123456789"), std::string::npos);
  // Seconds are every digit but the last nine.
  ASSERT_GT(text->size(), 9u);
  const long long seconds = std::stoll(text->substr(0, text->size() - 9));
  EXPECT_GE(seconds, before.tv_sec);
  EXPECT_LE(seconds, before.tv_sec + 5);
}

TEST(BackendHelpers, Texts) {
  EXPECT_EQ(q_core::backends::system_error_text(2), "No such file or directory (os error 2)");
  EXPECT_EQ(q_core::backends::system_error_text(13), "Permission denied (os error 13)");

  const std::vector<std::pair<int, std::string>> statuses = {
      {W_EXITCODE(1, 0), "exit status: 1"},
      {W_EXITCODE(255, 0), "exit status: 255"},
      {9, "signal: 9 (SIGKILL)"},
      {15, "signal: 15 (SIGTERM)"},
      {11 | WCOREFLAG, "signal: 11 (SIGSEGV) (core dumped)"},
  };
  for (const auto& [status, text] : statuses) {
    EXPECT_EQ(q_core::backends::exit_status_text(status), text);
  }
}

TEST(BackendHelpers, TempDirFollowsTmpdir) {
  const char* saved = std::getenv("TMPDIR");
  const std::optional<std::string> original =
      saved ? std::optional<std::string>(saved) : std::nullopt;
  ::setenv("TMPDIR", "/var/quarn-elsewhere", 1);
  EXPECT_EQ(q_core::backends::temp_dir(), "/var/quarn-elsewhere");
  ::setenv("TMPDIR", "", 1);
  EXPECT_EQ(q_core::backends::temp_dir(), "/tmp");
  ::unsetenv("TMPDIR");
  EXPECT_EQ(q_core::backends::temp_dir(), "/tmp");
  if (original) ::setenv("TMPDIR", original->c_str(), 1);
}

TEST(CreateSourceFile, SkipsNamesWhoseSourceOrLibraryIsTaken) {
  const TempDir dir;
  std::ofstream(dir.path() / "quarn_100.c") << "taken";
  std::ofstream(dir.path() / "quarn_101.so") << "taken";

  const auto files = create_source_file(dir.path(), "quarn_", "c", "100", "int x;\n");
  ASSERT_TRUE(files.has_value()) << files.error();
  EXPECT_EQ(files->source, (dir.path() / "quarn_102.c").string());
  EXPECT_EQ(files->library, (dir.path() / "quarn_102.so").string());
  EXPECT_EQ(read_file(files->source), "int x;\n");
  EXPECT_EQ(read_file(dir.path() / "quarn_100.c"), "taken");
  EXPECT_EQ(file_names(dir.path()),
            (std::set<std::string>{"quarn_100.c", "quarn_101.so", "quarn_102.c"}));

  const auto cuda = create_source_file(dir.path(), "quarn_cuda_", "cu", "7", "");
  ASSERT_TRUE(cuda.has_value()) << cuda.error();
  EXPECT_EQ(cuda->source, (dir.path() / "quarn_cuda_7.cu").string());
}

TEST(CreateSourceFile, ConcurrentBuildsInOneNanosecondGetDistinctNames) {
  const TempDir dir;
  constexpr int kThreads = 16;
  std::vector<std::string> sources(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const auto files =
          create_source_file(dir.path(), "quarn_", "c", "1000", "thread " + std::to_string(t));
      if (files) sources[t] = files->source;
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::set<std::string> distinct(sources.begin(), sources.end());
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads));
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(read_file(sources[t]), "thread " + std::to_string(t));
  }
}

TEST(CreateSourceFile, ReportsTheSystemError) {
  const auto files = create_source_file("/nonexistent/dir", "quarn_", "c", "1", "");
  ASSERT_FALSE(files.has_value());
  EXPECT_EQ(files.error(), "No such file or directory (os error 2)");
}

}  // namespace
