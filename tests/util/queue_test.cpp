#include "util/queue.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<int> contents(LockedList &list) {
  std::vector<int> out;
  list.walk([](void *ctx, ListEntry *e) {
    ((std::vector<int> *)ctx)->push_back(*(int *)e->data);
    return 0;
  }, &out);
  return out;
}

struct Fixture {
  int values[5] = {0, 1, 2, 3, 4};
  ListEntry entries[5];
  Fixture() {
    for (int i = 0; i < 5; i++) entries[i] = {nullptr, &values[i]};
  }
};

}  // namespace

TEST(LockedList, PushFrontBackPopAndRepush) {
  LockedList list;
  Fixture f;
  list.push(&f.entries[1], false);
  list.push(&f.entries[2], false);
  list.push(&f.entries[0], true);
  EXPECT_EQ(contents(list), (std::vector<int>{0, 1, 2}));
  // Pushing an entry already in the list moves it instead of linking it twice.
  list.push(&f.entries[0], false);
  EXPECT_EQ(contents(list), (std::vector<int>{1, 2, 0}));
  list.push(&f.entries[0], true);
  EXPECT_EQ(contents(list), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(list.count(), 3);
  EXPECT_EQ(list.pop(), &f.entries[0]);
  EXPECT_EQ(list.pop(), &f.entries[1]);
  EXPECT_EQ(list.pop(), &f.entries[2]);
  EXPECT_EQ(list.pop(), nullptr);
  // The tail was reset: a push after emptying starts a fresh list.
  list.push(&f.entries[3], false);
  EXPECT_EQ(contents(list), (std::vector<int>{3}));
}

TEST(LockedList, FindAndRemove) {
  LockedList list;
  Fixture f;
  for (auto &e : f.entries) list.push(&e, false);
  EXPECT_EQ(list.find(&f.values[3]), &f.entries[3]);
  EXPECT_EQ(list.remove(&f.entries[4]), 0);  // the tail
  EXPECT_EQ(list.remove(&f.entries[4]), -1);
  EXPECT_EQ(list.find(&f.values[4]), nullptr);
  list.push(&f.entries[4], false);  // tail pointer must be valid after removing the tail
  EXPECT_EQ(contents(list), (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(LockedList, WalkProtocol) {
  struct Case {
    int act_on;  // value whose callback returns `result`; others keep
    int result;
    bool want_stop;
    std::vector<int> want_left;
  } cases[] = {
      {2, -1, true, {0, 1, 2, 3, 4}},  // negative: stop, keep
      {2, 1, false, {0, 1, 3, 4}},     // 1: remove, go on
      {2, 2, true, {0, 1, 3, 4}},      // above 1: remove, stop
      {4, 1, false, {0, 1, 2, 3}},     // removing the tail
      {0, 1, false, {1, 2, 3, 4}},     // removing the head
  };
  for (const Case &c : cases) {
    LockedList list;
    Fixture f;
    for (auto &e : f.entries) list.push(&e, false);
    struct Ctx {
      const Case *c;
      std::vector<int> visited;
    } ctx = {&c, {}};
    ListEntry *stop = list.walk([](void *p, ListEntry *e) {
      Ctx *x = (Ctx *)p;
      int v = *(int *)e->data;
      x->visited.push_back(v);
      return v == x->c->act_on ? x->c->result : 0;
    }, &ctx);
    EXPECT_EQ(stop, c.want_stop ? &f.entries[c.act_on] : nullptr) << c.result;
    EXPECT_EQ(contents(list), c.want_left) << c.result;
    EXPECT_EQ(list.count(), (int)c.want_left.size());
    EXPECT_EQ(ctx.visited.size(), c.want_stop ? (size_t)c.act_on + 1 : 5u);
    list.push(&f.entries[4], false);  // the tail stays usable
    EXPECT_EQ(contents(list).back(), 4);
  }
}
