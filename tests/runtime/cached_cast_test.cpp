#include "runtime/cached_cast.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace isapi_web {
namespace {

struct TRoot {
  virtual ~TRoot() = default;
  int RootValue = 1;
};

// Interfaces that live at different offsets inside the classes that offer them.
struct IFirst {
  virtual ~IFirst() = default;
  virtual int First() const = 0;
};
struct ISecond {
  virtual ~ISecond() = default;
  virtual int Second() const = 0;
};

struct TPlain : TRoot {};

struct TOffersFirst : TRoot, IFirst {
  int First() const override { return 10; }
};

struct TOffersBoth : TRoot, IFirst, ISecond {
  int First() const override { return 20; }
  int Second() const override { return 21; }
};

struct TDerivedBoth : TOffersBoth {
  int Padding[3] = {};
  int Second() const override { return 31; }
};

// Two ISecond subobjects: dynamic_cast refuses the ambiguous cross-cast, and so must the cache.
struct TLeft : TRoot, ISecond {
  int Second() const override { return 40; }
};
struct TRight : ISecond {
  int Second() const override { return 41; }
};
struct TAmbiguous : TLeft, TRight {};

// Classes enough to fill the cache of one cast and go past it.
template <int N> struct TNumbered : TRoot, IFirst {
  int First() const override { return 100 + N; }
};

template <class To, class From> void ExpectSameAsDynamicCast(From* object) {
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(CachedCast<To>(object), dynamic_cast<To*>(object));
  }
}

TEST(CachedCast, AnswersWhatDynamicCastAnswers) {
  TPlain plain;
  TOffersFirst first;
  TOffersBoth both;
  TDerivedBoth derived;
  TAmbiguous ambiguous;
  const std::vector<TRoot*> objects{&plain, &first, &both, &derived, &ambiguous};
  // Asked in turns, so that answers for one class are read back after others were stored.
  for (int round = 0; round < 3; ++round) {
    for (TRoot* object : objects) {
      ExpectSameAsDynamicCast<IFirst>(object);
      ExpectSameAsDynamicCast<ISecond>(object);
      ExpectSameAsDynamicCast<TOffersBoth>(object);
      ExpectSameAsDynamicCast<const IFirst>(static_cast<const TRoot*>(object));
    }
  }
  EXPECT_EQ(CachedCast<IFirst>(static_cast<TRoot*>(&first))->First(), 10);
  EXPECT_EQ(CachedCast<ISecond>(static_cast<TRoot*>(&both))->Second(), 21);
  EXPECT_EQ(CachedCast<ISecond>(static_cast<TRoot*>(&derived))->Second(), 31);
  EXPECT_EQ(CachedCast<ISecond>(static_cast<TRoot*>(&ambiguous)), nullptr);
  EXPECT_EQ(CachedCast<IFirst>(static_cast<TRoot*>(nullptr)), nullptr);

  // From an interface back to the object and across to another interface.
  IFirst* asFirst = &derived;
  EXPECT_EQ(CachedCast<TRoot>(asFirst), static_cast<TRoot*>(&derived));
  EXPECT_EQ(CachedCast<ISecond>(asFirst), static_cast<ISecond*>(&derived));
  EXPECT_EQ(CachedCast<TRoot>(static_cast<IFirst*>(&first)), static_cast<TRoot*>(&first));
}

TEST(CachedCast, DistinguishesSubobjectsOfOneClass) {
  // The same class seen through either of its ISecond bases: the two answers differ.
  TAmbiguous ambiguous;
  ISecond* left = static_cast<TLeft*>(&ambiguous);
  ISecond* right = static_cast<TRight*>(&ambiguous);
  ASSERT_NE(static_cast<void*>(left), static_cast<void*>(right));
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(CachedCast<TAmbiguous>(left), &ambiguous);
    EXPECT_EQ(CachedCast<TAmbiguous>(right), &ambiguous);
    EXPECT_EQ(CachedCast<TLeft>(right), static_cast<TLeft*>(&ambiguous));
    EXPECT_EQ(CachedCast<TRight>(left), static_cast<TRight*>(&ambiguous));
    EXPECT_EQ(CachedCast<TRoot>(right), static_cast<TRoot*>(&ambiguous));
  }
}

TEST(CachedCast, MoreClassesThanTheTableHolds) {
  TNumbered<0> n0;
  TNumbered<1> n1;
  TNumbered<2> n2;
  TNumbered<3> n3;
  TNumbered<4> n4;
  TNumbered<5> n5;
  TNumbered<6> n6;
  TNumbered<7> n7;
  TNumbered<8> n8;
  TNumbered<9> n9;
  TNumbered<10> n10;
  TPlain plain;
  const std::vector<TRoot*> objects{&n0, &n1, &n2, &n3, &n4, &n5, &n6, &n7, &n8, &n9, &n10, &plain};
  for (int round = 0; round < 3; ++round) {
    for (std::size_t i = 0; i < objects.size(); ++i) {
      IFirst* result = CachedCast<IFirst>(objects[i]);
      EXPECT_EQ(result, dynamic_cast<IFirst*>(objects[i]));
      if (i + 1 < objects.size()) {
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(result->First(), 100 + static_cast<int>(i));
      }
    }
  }
}

TEST(CachedCast, ConcurrentFirstQueries) {
  // Threads racing to store the first answers for a cast none of them has seen.
  struct IThird {
    virtual ~IThird() = default;
  };
  struct TA : TRoot, IThird {};
  struct TB : TRoot, IThird {};
  struct TC : TRoot {};
  TA a;
  TB b;
  TC c;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        if (CachedCast<IThird>(static_cast<TRoot*>(&a)) != static_cast<IThird*>(&a) ||
            CachedCast<IThird>(static_cast<TRoot*>(&b)) != static_cast<IThird*>(&b) ||
            CachedCast<IThird>(static_cast<TRoot*>(&c)) != nullptr) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(wrong.load(), 0);
}

} // namespace
} // namespace isapi_web
