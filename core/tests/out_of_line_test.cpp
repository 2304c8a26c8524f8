// OutOfLine and OutOfLineVector: the same steps on them and on the standard
// types they stand for leave the same contents.
#include "korvanta/out_of_line.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace korvanta {
namespace {

TEST(OutOfLine, StepsAgreeWithStdOptional) {
  OutOfLine<std::string> ours;
  std::optional<std::string> theirs;
  const auto same = [&] {
    ASSERT_EQ(ours.has_value(), theirs.has_value());
    EXPECT_EQ(ours.get(), theirs);
    EXPECT_TRUE(ours == theirs);
    EXPECT_EQ(ours == std::nullopt, theirs == std::nullopt);
    if (theirs) {
      EXPECT_EQ(ours, *theirs);
    }
  };
  same();
  ours = "first", theirs = "first";
  same();
  ours = std::string(100, 'x'), theirs = std::string(100, 'x');
  same();
  OutOfLine<std::string> copy = ours;
  ours = std::nullopt, theirs = std::nullopt;
  same();
  EXPECT_EQ(*copy, std::string(100, 'x'));
  ours = copy;
  theirs = *copy;
  same();
  ours.emplace(3, 'y'), theirs.emplace(3, 'y');
  same();
  EXPECT_EQ(ours->size(), 3u);
  EXPECT_THROW(OutOfLine<double>().value(), std::bad_optional_access);
  EXPECT_EQ(OutOfLine<double>().value_or(2.5), 2.5);
}

TEST(OutOfLineVector, GrowsAndReadsAsAVector) {
  OutOfLineVector<std::string> list;
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.begin(), list.end());
  const std::vector<std::string>& none = list;
  EXPECT_TRUE(none.empty());

  list.push_back("a");
  const std::vector<std::string> more{"b", "c"};
  list.insert(list.end(), more.begin(), more.end());
  const OutOfLineVector<std::string> copy = list;
  list[0] = "z";
  EXPECT_EQ(list.items(), (std::vector<std::string>{"z", "b", "c"}));
  EXPECT_EQ(copy.items(), (std::vector<std::string>{"a", "b", "c"}));
  list = {};
  EXPECT_EQ(list.size(), 0u);
}

}  // namespace
}  // namespace korvanta
