// How many requests a run may have at the marketplace at once: a ceiling the
// user sets, and below it a limit that follows the marketplace's answers. The
// answers are judged in blocks of kBlock: a block in which refusals reach
// kRefusalsToHalve halves the limit at once (a new block starts); a whole
// block with at most kRefusalsToGrow refusals doubles it, never above the
// ceiling. A few refusals at random never move it; a marketplace refusing
// most requests brings it to one within four blocks; it grows back as fast.
// A slot is held for a request on the wire only, never for a pause.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "collect/answer_kind.h"

namespace dt {

class RequestSlots {
 public:
  static constexpr int kMostAtOnce = 20;  // one a chain
  static constexpr int kBlock = 20;
  static constexpr int kRefusalsToHalve = 5;
  static constexpr int kRefusalsToGrow = 1;

  // The ceiling: from 1 to kMostAtOnce, anything else clamped. Requests that
  // start afterwards see it; those in flight keep their slot. A higher ceiling
  // is taken as the limit at once, a lower one caps it.
  void SetCeiling(int ceiling);
  int Ceiling() const;

  // A new run: the limit goes back to the ceiling.
  void Reset();

  // Waits for a free slot under the limit and takes it. A slot is given back
  // within one fetch, so the wait is bounded.
  void Acquire();
  void Release();

  // Learns from how one request's answer was classed.
  void After(const AnswerClass& answer);

  int InFlight() const;
  int Limit() const;

  // Takes a slot for its own lifetime.
  class Held {
   public:
    explicit Held(RequestSlots& owner) : slots_(owner) { slots_.Acquire(); }
    ~Held() { slots_.Release(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

   private:
    RequestSlots& slots_;
  };

 private:
  mutable std::mutex mutex_;
  std::condition_variable freed_;
  int ceiling_ = 1;
  int limit_ = 1;
  int inFlight_ = 0;
  int answers_ = 0;   // of the current block
  int refusals_ = 0;  // of the current block
};

}  // namespace dt
