#include <fstream>
#include <sstream>

#include "driver.h"
#include "gtest/gtest.h"

namespace tolva {
namespace {

// The README's op table is the dispatch table as the front end's developers read it.
TEST(Readme, ListsEveryOperationOfTheDispatchTable) {
  std::stringstream text;
  text << std::ifstream(TOLVA_SOURCE_DIR "/README.md").rdbuf();
  for (const Operation& op : Operations()) {
    std::string row = "| " + std::to_string(op.op) + " | " + op.name + " | " + op.summary + " |";
    EXPECT_NE(text.str().find(row), std::string::npos) << "missing row: " << row;
  }
}

}  // namespace
}  // namespace tolva
