// The C text q_code returns for a few programs, compared byte for byte with
// the golden files in tests/core/golden. QUARN_BLESS=1 rewrites the goldens;
// read every rewritten file before committing it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "quarn.h"

namespace {

// A component built from source texts: the first parsed, each further one
// chained after it. `fanout_identity` puts an identity beside the first
// (the input passed on next to the first's result).
struct Source {
  std::string name;
  std::vector<std::string> texts;
  bool fanout_identity = false;
};

QComponent* build(const Source& source) {
  QComponent* c = q_parse(source.texts.front().c_str());
  if (c != nullptr && source.fanout_identity) {
    QComponent* id = q_identity();
    QComponent* both = q_fanout(id, c);
    q_component_free(id);
    q_component_free(c);
    c = both;
  }
  for (std::size_t k = 1; c != nullptr && k < source.texts.size(); ++k) {
    QComponent* next = q_parse(source.texts[k].c_str());
    QComponent* chained = next != nullptr ? q_chain(c, next) : nullptr;
    q_component_free(next);
    q_component_free(c);
    c = chained;
  }
  return c;
}

std::string golden_path(const std::string& name) {
  return std::string(QUARN_SOURCE_DIR) + "/tests/core/golden/" + name + ".c";
}

TEST(CodeGolden, MatchesGoldens) {
  const std::vector<Source> sources = {
      {"pointwise_binary", {"ij * ij ~ ij"}},
      {"row_sum", {"ij ~ i"}},
      {"split_guard", {"ij ~ i | j:4 |"}},
      {"fused_product_row_sum", {"ij * ij ~ ij", "ij ~ i | | i j 0"}},
      {"online_softmax_sum",
       {">ik ~ i", "ik - i ~ ik | | i k 1", "^ik ~ ik | | i k 0", "ik ~ i | | i k 0"},
       true},
  };
  for (const Source& source : sources) {
    QComponent* c = build(source);
    ASSERT_NE(c, nullptr) << source.name << ": " << q_error();
    char* code = q_code(c, Cpu);
    q_component_free(c);
    ASSERT_NE(code, nullptr) << source.name << ": " << q_error();
    const std::string text = code;
    q_string_free(code);

    if (std::getenv("QUARN_BLESS") != nullptr) {
      std::ofstream(golden_path(source.name), std::ios::binary) << text;
      continue;
    }
    std::ifstream in(golden_path(source.name), std::ios::binary);
    ASSERT_TRUE(in.good()) << "missing golden " << golden_path(source.name);
    std::stringstream expected;
    expected << in.rdbuf();
    EXPECT_EQ(text, expected.str()) << source.name;
  }
}

}  // namespace
