// How many requests a run may have at the marketplace at once: a ceiling the
// user sets, and below it a limit that follows the marketplace's answers. A
// busy answer (429, 503) or a refused connection halves the limit; a run of
// good answers lets it grow again by one, never above the ceiling.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "shoppage/fetch_page.h"

namespace dt {

class RequestSlots {
 public:
  static constexpr int kMostAtOnce = 20;  // one a chain
  // Good answers in a row that let the limit grow by one.
  static constexpr int kGoodAnswersToGrow = 20;

  // The ceiling: from 1 to kMostAtOnce, anything else clamped. Requests that
  // start afterwards see it; those in flight keep their slot. A higher ceiling
  // is taken as the limit at once, a lower one caps it.
  void SetCeiling(int ceiling);
  int Ceiling() const;

  // A new run: the limit goes back to the ceiling.
  void Reset();

  // Waits for a free slot under the limit and takes it. A slot is given back
  // within one fetch and its tries, so the wait is bounded.
  void Acquire();
  void Release();

  // Counts the halvings (and new runs and ceilings); read before a request
  // starts and given to After, so that the refusals of requests that were
  // already out when the limit was halved do not halve it again.
  std::uint64_t Epoch() const;
  // Learns from how one request ended.
  void After(const FetchOutcome& outcome, std::uint64_t startedInEpoch);

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
  int goodInARow_ = 0;
  std::uint64_t epoch_ = 0;
};

}  // namespace dt
