// Stream core: binding, status rules of pop/push/rst/end, the chain and pass-through.
#include "base/stream/stream.h"

#include <gtest/gtest.h>

#include "base/base.h"
#include "stream_fixture.h"

namespace {

using st::fake_src;

class StreamCore : public st::Fixture {};
class StreamChain : public st::Fixture {};

TEST_F(StreamCore, BindInPlaceAndThroughTheSlot) {
  fake_src f{"x"};
  stream s{&f, &st::FAKE_OPS, 0xFF};   // stale words are cleared by the bind
  EXPECT_EQ(stream_set(&s, &f, &st::FAKE_OPS), 0);
  EXPECT_EQ(s.src, &f);
  EXPECT_EQ(s.ops, &st::FAKE_OPS);
  EXPECT_EQ(s.flg, STREAM_BND);
  EXPECT_EQ(stream_chk(&s), 0);

  EXPECT_EQ(stream_set(nullptr, &f, &st::FAKE_OPS), 0);
  auto* o = static_cast<stream*>(stkptr(nullptr, nullptr));
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(stkptr(nullptr, nullptr), nullptr);
  EXPECT_EQ(o->flg, STREAM_BND | STREAM_OWN);
  EXPECT_EQ(o->src, &f);
  stream_end(o);   // frees the object: the fixture sees no block left
  EXPECT_EQ(f.ends, 1);
}

TEST_F(StreamCore, EndOfDataAndFailureCodes) {
  fake_src f{"ab"};
  stream s{};
  stream_set(&s, &f, &st::FAKE_OPS);
  err_no = 7;   // a stale status is cleared by a delivering pop
  unsigned char b = 0;
  EXPECT_EQ(stream_pop(&s, &b), 0);
  EXPECT_EQ(err_no, 0);
  EXPECT_EQ(b, 'a');
  int32_t r;
  EXPECT_EQ(st::drain_bytes(&s, &r), "b");
  EXPECT_EQ(r, ERR_EOD);   // the source left err_no 0: a clean end
  EXPECT_EQ(err_no, ERR_EOD);
  EXPECT_NE(s.flg & STREAM_END, 0u);
  EXPECT_EQ(stream_chk(&s), -1);
  // Ended: refused without asking the source.
  f.pos = 0;
  EXPECT_EQ(stream_pop(&s, &b), ERR_FAIL);
  EXPECT_EQ(f.pos, 0u);

  EXPECT_EQ(stream_rst(&s), 0);
  EXPECT_EQ(f.rsts, 1);
  EXPECT_EQ(st::drain_bytes(&s, &r), "ab");

  // The source's own failure code is passed through.
  fake_src g{"abc"};
  g.fail_at = 1;
  g.fail_code = static_cast<int32_t>(0x80000005u);
  stream_set(&s, &g, &st::FAKE_OPS);
  EXPECT_EQ(st::drain_bytes(&s, &r), "a");
  EXPECT_EQ(r, static_cast<int32_t>(0x80000005u));
  EXPECT_EQ(err_code(r), 5);
}

TEST_F(StreamCore, RefusedPushBlocksUntilRewound) {
  fake_src f{"ab"};
  f.cap = 1;
  stream s{};
  stream_set(&s, &f, &st::FAKE_OPS);
  const char a = 'A', b = 'B';
  EXPECT_EQ(stream_psh(&s, &a), 0);
  EXPECT_EQ(stream_psh(&s, &b), ERR_END);   // the source said -1; a refusal reads as "no room"
  EXPECT_EQ(err_no, ERR_END);
  f.cap = 10;
  unsigned char o = 0;
  EXPECT_EQ(stream_psh(&s, &b), ERR_FAIL);
  EXPECT_EQ(stream_pop(&s, &o), ERR_FAIL);
  EXPECT_EQ(stream_psh(&s, &b), ERR_FAIL);
  EXPECT_EQ(f.pushed, "A");
  EXPECT_EQ(f.pos, 0u);
  EXPECT_EQ(stream_rst(&s), 0);
  EXPECT_EQ(stream_psh(&s, &b), 0);
  EXPECT_EQ(f.pushed, "AB");
  EXPECT_EQ(stream_pop(&s, &o), 0);
}

TEST_F(StreamCore, MissingUnboundAndSlotless) {
  unsigned char o = 0;
  EXPECT_EQ(stream_pop(nullptr, &o), ERR_FAIL);
  EXPECT_EQ(stream_psh(nullptr, &o), ERR_FAIL);
  EXPECT_EQ(stream_rst(nullptr), ERR_FAIL);
  EXPECT_EQ(stream_chk(nullptr), -1);
  stream_end(nullptr);
  fake_src f{"a"};
  stream s{&f, &st::FAKE_OPS, 0};   // never bound
  EXPECT_EQ(stream_pop(&s, &o), ERR_FAIL);
  EXPECT_EQ(f.pos, 0u);
  EXPECT_EQ(stream_chk(&s), -1);
  EXPECT_EQ(stream_rst(&s), ERR_FAIL);
  EXPECT_EQ(f.rsts, 0);
  // Released: the source is gone, so there is nothing to rewind.
  stream_set(&s, &f, &st::FAKE_OPS);
  stream_end(&s);
  EXPECT_EQ(stream_rst(&s), ERR_FAIL);
  EXPECT_EQ(f.rsts, 0);
  {
    rscmng_scp scp;
    __VARBUF(vb, 1);
    stream bs{};
    ASSERT_EQ(stream_set(&bs, vb, &STREAM_OPS_BUF), 0);
    stream_end(&bs);
    EXPECT_EQ(stream_rst(&bs), ERR_FAIL);
  }
  static constexpr stream_ops pop_only{st::fake_pop, nullptr, nullptr, nullptr};
  stream_set(&s, &f, &pop_only);
  EXPECT_EQ(stream_psh(&s, &o), ERR_FAIL);
  EXPECT_EQ(s.flg & STREAM_END, 0u);   // left unchanged
  EXPECT_EQ(stream_rst(&s), 0);        // no rewind slot: only the ended bit is cleared
  EXPECT_EQ(stream_pop(&s, &o), 0);
}

TEST_F(StreamCore, RewindFailure) {
  fake_src f{"a"};
  f.rst_result = 1;
  stream s{};
  stream_set(&s, &f, &st::FAKE_OPS);
  EXPECT_EQ(stream_rst(&s), ERR_FAIL);
  err_no = ERR_EOD;   // a stale end status must not make the failure read as an end
  EXPECT_EQ(stream_rst(&s), ERR_FAIL);
}

TEST_F(StreamCore, EndReleasesOnceAndTablesWithoutEndStayBound) {
  fake_src f{"a"};
  stream s{};
  stream_set(&s, &f, &st::FAKE_OPS);
  stream_end(&s);
  EXPECT_EQ(f.ends, 1);
  EXPECT_EQ(s.src, nullptr);
  EXPECT_EQ(s.flg, 0u);
  stream_end(&s);
  EXPECT_EQ(f.ends, 1);

  stream_set(nullptr, &f, &st::FAKE_OPS_NO_END);
  auto* o = static_cast<stream*>(stkptr(nullptr, nullptr));
  stream_end(o);
  EXPECT_EQ(o->src, &f);
  EXPECT_EQ(o->flg, STREAM_BND | STREAM_OWN);
  unsigned char b = 0;
  EXPECT_EQ(stream_pop(o, &b), 0);
  _free(&o);
}

TEST_F(StreamCore, PassThroughLeavesTheInnerStreamAlone) {
  fake_src f{"xy"};
  stream in{}, s{};
  stream_set(&in, &f, &st::FAKE_OPS);
  stream_set(&s, &in, &STREAM_OPS_SRC);
  int32_t r;
  EXPECT_EQ(st::drain_bytes(&s, &r), "xy");
  EXPECT_EQ(r, ERR_EOD);
  EXPECT_EQ(stream_rst(&s), 0);   // rewinds the inner stream as well
  EXPECT_EQ(f.rsts, 1);
  const char c = 'c';
  EXPECT_EQ(stream_psh(&s, &c), 0);
  EXPECT_EQ(f.pushed, "c");
  stream_end(&s);   // no end slot
  EXPECT_EQ(f.ends, 0);
  stream_end(&in);
  EXPECT_EQ(f.ends, 1);
}

TEST_F(StreamChain, EmptyChainEnds) {
  stream c{};
  ASSERT_EQ(stream_chain(&c), 0);
  unsigned char b = 0;
  EXPECT_EQ(stream_pop(&c, &b), ERR_EOD);
  EXPECT_EQ(err_no, ERR_EOD);
  stream_end(&c);
}

TEST_F(StreamChain, MembersInOrderEachEndedWhenExhausted) {
  fake_src f1{"ab"}, f2{"cd"};
  stream c{};
  ASSERT_EQ(stream_chain(&c), 0);
  stream s1{};
  stream_set(&s1, &f1, &st::FAKE_OPS);
  ASSERT_EQ(stream_psh(&c, &s1), 0);
  EXPECT_EQ(s1.src, nullptr);   // moved into the chain
  EXPECT_EQ(s1.ops, nullptr);
  EXPECT_EQ(s1.flg, 0u);
  stream_set(nullptr, &f2, &st::FAKE_OPS);   // an owned object: freed by the push
  ASSERT_EQ(stream_psh(&c, stkptr(nullptr, nullptr)), 0);

  unsigned char b = 0;
  std::string got;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(stream_pop(&c, &b), 0);
    got.push_back(static_cast<char>(b));
  }
  EXPECT_EQ(got, "abc");
  EXPECT_EQ(f1.ends, 1);   // ended as soon as its end was met
  EXPECT_EQ(f2.ends, 0);
  EXPECT_EQ(stream_pop(&c, &b), 0);
  EXPECT_EQ(b, 'd');
  EXPECT_EQ(stream_pop(&c, &b), ERR_EOD);
  EXPECT_EQ(f2.ends, 1);
  stream_end(&c);
}

TEST_F(StreamChain, FailingMemberIsDroppedAndEndFreesTheRest) {
  fake_src f1{"abc"}, f2{"de"}, f3{"fg"};
  f1.fail_at = 1;
  stream c{};
  stream_chain(&c);
  for (fake_src* f : {&f1, &f2, &f3}) {
    stream s{};
    stream_set(&s, f, &st::FAKE_OPS);
    stream_psh(&c, &s);
  }
  unsigned char b = 0;
  std::string got;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(stream_pop(&c, &b), 0);
    got.push_back(static_cast<char>(b));
  }
  EXPECT_EQ(got, "ade");
  EXPECT_EQ(f1.ends, 1);
  stream_end(&c);   // f2 (exhausted but not yet popped past) and f3 are ended and freed
  EXPECT_EQ(f2.ends, 1);
  EXPECT_EQ(f3.ends, 1);
}

TEST_F(StreamChain, RefillAfterDrained) {
  fake_src f1{"a"}, f2{"b"};
  stream c{};
  stream_chain(&c);
  stream s{};
  stream_set(&s, &f1, &st::FAKE_OPS);
  stream_psh(&c, &s);
  int32_t r;
  EXPECT_EQ(st::drain_bytes(&c, &r), "a");
  EXPECT_EQ(r, ERR_EOD);
  stream_rst(&c);
  stream_set(&s, &f2, &st::FAKE_OPS);
  ASSERT_EQ(stream_psh(&c, &s), 0);   // appended to the emptied chain, not to a freed member
  EXPECT_EQ(st::drain_bytes(&c, &r), "b");
  stream_rst(&c);
  EXPECT_EQ(stream_psh(&c, nullptr), ERR_END);   // nothing to move in: refused
  stream_end(&c);
}

TEST_F(StreamChain, OperationsWithoutAChain) {
  uint32_t ch = 0;
  EXPECT_EQ(stream_chain_pop(nullptr, &ch), -1);
  stream_chain_end(nullptr);
  EXPECT_EQ(err_no, -1) << "the end leaves the status alone";
}

}  // namespace
