#include <quill/sys/args.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace quill::sys {
namespace {

TEArgs numbered(int count, const std::string& prefix = "a") {
  TEArgs args;
  for (int i = 0; i < count; ++i) args.Add(prefix + std::to_string(i));
  return args;
}

TEST(ArgsLimit, HundredSingleAdditionsFitAndTheNextOverflowsWithTheExactMessage) {
  TEArgs args = numbered(100);
  try {
    args.Add("one too many");
    FAIL() << "no overflow";
  } catch (const TEArgs::TOverflow& error) {
    EXPECT_STREQ(error.what(),
                 "The number of arguments has exceeded the defined limits (arguments number = "
                 "100, add. arguments number = 1, max = 100)");
    EXPECT_EQ(error.args->size(), 100u);
  }
  EXPECT_EQ(args.Count(), 100u);
  EXPECT_EQ(args.Get(99), "a99");
}

TEST(ArgsLimit, AddingAVectorChecksBothCountsTogether) {
  TEArgs fifty = numbered(50);
  try {
    fifty.Add(numbered(60, "b"));
    FAIL() << "no overflow";
  } catch (const TEArgs::TOverflow& error) {
    EXPECT_STREQ(error.what(),
                 "The number of arguments has exceeded the defined limits (arguments number = "
                 "50, add. arguments number = 60, max = 100)");
  }
  EXPECT_EQ(fifty.Count(), 50u);
  fifty.Add(numbered(50, "b"));
  EXPECT_EQ(fifty.Count(), 100u);
  EXPECT_EQ(fifty.Get(50), "b0");
}

TEST(ArgsLimit, OverflowIsCaughtAsTheArgumentAndSystemErrors) {
  TEArgs args = numbered(100);
  EXPECT_THROW(args.Add("x"), TEArgs::TEArgsError);
  EXPECT_THROW(args.Add("x"), TSysErr);
  EXPECT_THROW(args.Add("x"), TError);
}

TEST(ArgsErrors, OverflowKeepsTheListAsItWasBeforeTheFailedAddition) {
  TEArgs args = numbered(100);
  TSharedPtr<TEArgs::TList> carried;
  try {
    args.Add("x");
  } catch (const TEArgs::TOverflow& error) {
    carried = error.args;
  }
  ASSERT_TRUE(carried);
  EXPECT_EQ(carried.get(), &args.List());
  args = numbered(1);
  EXPECT_EQ(carried->size(), 100u);
  EXPECT_EQ(carried->back(), "a99");
}

TEST(ArgsErrors, IndexErrorNamesTheIndexAndSharesTheList) {
  TEArgs args = numbered(3);
  try {
    args.ThrowOutOfRange(7);
    FAIL() << "returned";
  } catch (const TEArgs::TOutOfRange& error) {
    EXPECT_STREQ(error.what(), "Wrong index (index = 7)");
    EXPECT_EQ(error.index, 7u);
    EXPECT_EQ(error.args.get(), &args.List());
  }
}

TEST(ArgsErrors, GetPastTheEndRaisesTheIndexError) {
  TEArgs args = numbered(2);
  EXPECT_EQ(args.Get(1), "a1");
  try {
    args.Get(2);
    FAIL() << "returned";
  } catch (const TEArgs::TOutOfRange& error) {
    EXPECT_STREQ(error.what(), "Wrong index (index = 2)");
  }
}

TEST(ArgsCopyOnWrite, ACopyKeepsItsElementsWhenTheOriginalGrows) {
  TEArgs original = numbered(2);
  TEArgs copy = original;
  EXPECT_EQ(&copy.List(), &original.List());
  original.Add("new");
  EXPECT_EQ(copy.Count(), 2u);
  EXPECT_EQ(original.Count(), 3u);
  EXPECT_EQ(original.Get(2), "new");
  copy.Add("other");
  EXPECT_EQ(original.Get(2), "new");
  EXPECT_EQ(copy.Get(2), "other");
}

TEST(ArgsCopyOnWrite, BuildingFromEmptyArgsLeavesItEmpty) {
  TEArgs args(EmptyArgs);
  args.Add("file");
  EXPECT_EQ(EmptyArgs.Count(), 0u);
  EXPECT_EQ(args.Count(), 1u);
}

TEST(ArgsCopyOnWrite, CopiesOfEmptyArgsShareNothingAcrossThreads) {
  // Each thread keeps its own vectors; EmptyArgs, which they all start
  // from, is the only thing they would otherwise share.
  const TEArgs copy(EmptyArgs);
  EXPECT_NE(&copy.List(), &EmptyArgs.List());
  std::vector<std::thread> threads;
  std::vector<std::uint64_t> counts(4);
  for (std::size_t t = 0; t < counts.size(); ++t) {
    threads.emplace_back([&counts, t] {
      for (int i = 0; i < 20000; ++i) {
        TEArgs args(EmptyArgs);
        args.Add("echo");
        TEArgs again = args;
        again.Add(std::to_string(i));
        counts[t] += again.Count() + args.Count();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counts, std::vector<std::uint64_t>(4, 60000));
  EXPECT_EQ(EmptyArgs.Count(), 0u);
}

TEST(ArgsCopyOnWrite, AddingItselfOrACopyDoublesTheElementsInOrder) {
  TEArgs args = numbered(3);
  args.Add(args);
  ASSERT_EQ(args.Count(), 6u);
  EXPECT_EQ(args.Get(3), "a0");
  EXPECT_EQ(args.Get(5), "a2");

  TEArgs shared = numbered(2);
  TEArgs copy = shared;
  shared.Add(copy);
  ASSERT_EQ(shared.Count(), 4u);
  EXPECT_EQ(shared.Get(2), "a0");
  EXPECT_EQ(copy.Count(), 2u);
}

TEST(ArgsCopyOnWrite, ElementsKeepEmptyStringsAndBytes) {
  TEArgs args;
  args.Add("");
  args.Add(std::string("a\0b", 3));
  EXPECT_EQ(args.Get(0), "");
  EXPECT_EQ(args.Get(1).size(), 3u);
}

}  // namespace
}  // namespace quill::sys
