#include "backends/cpu.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "backends/c/render.h"
#include "support/module_builder.h"

namespace {

namespace fs = std::filesystem;
using q_core::backends::Device;
using q_core::backends::Program;
using q_core::backends::Tensor;
using q_core::backends::TensorMut;
using q_core::backends::cpu::compile_c_source;

std::set<std::string> file_names(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Every test builds in its own empty TMPDIR.
class CpuBackend : public ::testing::Test {
 protected:
  CpuBackend() {
    std::string pattern = (fs::temp_directory_path() / "quarn_cpu_test_XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    fs::create_directory(tmp());
    tmpdir_.emplace("TMPDIR", tmp().string());
  }
  ~CpuBackend() override {
    tmpdir_.reset();
    fs::remove_all(root_);
  }

  fs::path tmp() const { return root_ / "tmp"; }

  // A directory holding only an executable script named cc.
  fs::path fake_cc(const std::string& script) const {
    const fs::path bin = root_ / "bin";
    fs::create_directories(bin);
    std::ofstream(bin / "cc") << "#!/bin/sh\n" << script << "\n";
    fs::permissions(bin / "cc", fs::perms::owner_all);
    return bin;
  }

  fs::path root_;
  std::optional<ScopedEnv> tmpdir_;
};

std::string row_sums_source() {
  return compiler::backends::c::render(quarn_test::module_builder::row_sums_of_squares_module());
}

// Runs the row-sums program on a rows x cols matrix and compares with sums
// computed here.
void check_row_sums(const Program& program, std::size_t rows, std::size_t cols) {
  ASSERT_EQ(program.count()(), 1u);
  std::size_t rank = 0;
  program.ranks()(&rank);
  ASSERT_EQ(rank, 1u);

  std::vector<float> data(rows * cols);
  for (std::size_t k = 0; k < data.size(); ++k) data[k] = 0.25f * static_cast<float>(k) - 2.0f;
  const std::size_t shape[] = {rows, cols};
  const Tensor input{data.data(), shape, 2};

  std::size_t out_shape[1] = {0};
  std::size_t* shapes[] = {out_shape};
  program.shapes()(&input, shapes);
  ASSERT_EQ(out_shape[0], rows);

  std::vector<float> out(rows, -1.0f);
  TensorMut output{out.data(), out_shape, 1};
  program.exec()(&input, &output);
  for (std::size_t i = 0; i < rows; ++i) {
    float expected = 0;
    for (std::size_t j = 0; j < cols; ++j) expected += data[i * cols + j] * data[i * cols + j];
    EXPECT_NEAR(out[i], expected, 1e-4f * std::abs(expected)) << "row " << i;
  }
}

TEST_F(CpuBackend, BuildsLoadsAndRunsAndOwnsTheSharedObject) {
  std::optional<Program> program;
  {
    auto built = compile_c_source(row_sums_source());
    ASSERT_TRUE(built.has_value()) << built.error();
    program.emplace(std::move(*built));
  }
  EXPECT_EQ(program->device(), Device::Cpu);
  // Only the shared object is left, named from the clock.
  const std::set<std::string> names = file_names(tmp());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(std::regex_match(*names.begin(), std::regex("quarn_[1-9][0-9]*\\.so")))
      << *names.begin();
  EXPECT_EQ(fs::path(program->path()), tmp() / *names.begin());

  check_row_sums(*program, 3, 5);  // 5 columns: the split by 4 leaves a guarded remainder
  check_row_sums(*program, 2, 8);
  check_row_sums(*program, 1, 1);

  Program moved = std::move(*program);
  program.reset();
  EXPECT_EQ(file_names(tmp()).size(), 1u);
  check_row_sums(moved, 4, 3);
  { Program gone = std::move(moved); }
  EXPECT_TRUE(file_names(tmp()).empty());
}

TEST_F(CpuBackend, ConcurrentBuildsAreIndependent) {
  constexpr int kThreads = 4;
  std::vector<std::string> paths(kThreads);
  std::vector<std::thread> threads;
  const std::string source = row_sums_source();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto program = compile_c_source(source);
      ASSERT_TRUE(program.has_value()) << program.error();
      paths[t] = program->path();
      check_row_sums(*program, 2 + t, 3 + 2 * t);
      // A program whose file someone else removed is destroyed quietly.
      if (t % 2 == 1) ::unlink(program->path().c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(),
            static_cast<std::size_t>(kThreads));
  EXPECT_TRUE(file_names(tmp()).empty());
}

TEST_F(CpuBackend, MissingEntryPointLeavesTheSharedObject) {
  std::string source = row_sums_source();
  const std::size_t at = source.find("void shapes(");
  ASSERT_NE(at, std::string::npos);
  source.replace(at, 12, "void shapez(");
  const auto program = compile_c_source(source);
  ASSERT_FALSE(program.has_value());
  EXPECT_TRUE(program.error().ends_with(".so: undefined symbol: shapes")) << program.error();
  const std::set<std::string> names = file_names(tmp());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(names.begin()->ends_with(".so"));
}

TEST_F(CpuBackend, FailingCompilerRemovesTheSource) {
  const fs::path args = root_ / "args";
  const ScopedEnv path("PATH",
                       fake_cc("printf '%s\\n' \"$@\" > " + args.string() + "\nexit 3").string());
  const auto program = compile_c_source("int x;\n");
  ASSERT_FALSE(program.has_value());
  EXPECT_EQ(program.error(), "cc failed with status exit status: 3");
  EXPECT_TRUE(file_names(tmp()).empty());

  // The exact command line: flags, source, output, math library.
  std::ifstream in(args);
  const std::string recorded(std::istreambuf_iterator<char>(in), {});
  const std::regex expected("-O3\n-shared\n-fPIC\n" + tmp().string() + "/quarn_([0-9]+)\\.c\n-o\n" +
                            tmp().string() + "/quarn_\\1\\.so\n-lm\n");
  EXPECT_TRUE(std::regex_match(recorded, expected)) << recorded;
}

TEST_F(CpuBackend, CompilerKilledBySignal) {
  const ScopedEnv path("PATH", fake_cc("kill -TERM $$").string());
  const auto program = compile_c_source("int x;\n");
  ASSERT_FALSE(program.has_value());
  EXPECT_EQ(program.error(), "cc failed with status signal: 15 (SIGTERM)");
  EXPECT_TRUE(file_names(tmp()).empty());
}

TEST_F(CpuBackend, MissingCompilerKeepsTheSource) {
  fs::create_directory(root_ / "empty");
  const ScopedEnv path("PATH", (root_ / "empty").string());
  const auto program = compile_c_source("int x;\n");
  ASSERT_FALSE(program.has_value());
  EXPECT_EQ(program.error(), "No such file or directory (os error 2)");
  const std::set<std::string> names = file_names(tmp());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(std::regex_match(*names.begin(), std::regex("quarn_[1-9][0-9]*\\.c")))
      << *names.begin();
}

TEST_F(CpuBackend, UnwritableTemporaryDirectory) {
  const ScopedEnv dir("TMPDIR", (root_ / "missing").string());
  const auto program = compile_c_source("int x;\n");
  ASSERT_FALSE(program.has_value());
  EXPECT_EQ(program.error(), "No such file or directory (os error 2)");
}

}  // namespace
