#include <quill/errors/shared_ptr.h>

#include <gtest/gtest.h>

namespace {

struct Base {
  explicit Base(int* counter) : destroyed(counter) {}
  virtual ~Base() { ++*destroyed; }
  int* destroyed;
};

struct Derived : Base {
  using Base::Base;
};

TEST(TSharedPtr, LastHolderDeletesThroughTheVirtualDestructor) {
  int destroyed = 0;
  {
    quill::TSharedPtr<Derived> derived(new Derived(&destroyed));
    quill::TSharedPtr<Base> base(derived);
    EXPECT_EQ(base.useCount(), 2);
    EXPECT_EQ(base.get(), derived.get());
    {
      quill::TSharedPtr<Base> third;
      third = base;
      EXPECT_EQ(derived.useCount(), 3);
    }
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(TSharedPtr, EmptyPointerHasItsOwnCount) {
  quill::TSharedPtr<int> empty;
  EXPECT_FALSE(empty);
  EXPECT_EQ(empty.useCount(), 1);
  quill::TSharedPtr<int> copy(empty);
  EXPECT_EQ(empty.useCount(), 2);
}

TEST(TSharedPtr, SelfAssignmentKeepsTheObject) {
  quill::TSharedPtr<int> p(new int(7));
  quill::TSharedPtr<int>& alias = p;
  p = alias;
  EXPECT_EQ(*p, 7);
  EXPECT_EQ(p.useCount(), 1);
}

}  // namespace
