// When to ask the system to read a message's file ahead of its turn.
//
// On a cold disk the hint keeps many reads in flight while the compressor works; on a warm
// cache it finds every page there already and costs a system call that walks them, a few
// percent of a whole conversion. So the writer gives the hint until the files prove to be in
// the cache: a file opened without the hint (a probe: every kProbeEvery-th one while hinting,
// every one while not) tells, at its first read, whether its bytes were there. kWarmProbes
// cached probes in a row stop the hints; one probe that has to wait for the disk starts them
// again.
#pragma once

#include <cstddef>

namespace crateline::archive {

class ReadAheadPolicy {
 public:
  static constexpr std::size_t kProbeEvery = 64;
  static constexpr int kWarmProbes = 4;

  // Whether to hint the next file opened ahead; false makes it a probe.
  bool Hint() {
    if (!hinting_) return false;
    return ++opened_ % kProbeEvery != 0;
  }

  // What the first read of a file showed: `cached` when its bytes were all in the cache, false
  // when it had to wait for them or the system could not tell.
  void Observed(bool hinted, bool cached) {
    if (hinted) return;  // its own hint brought it in: it says nothing of the rest
    if (!cached) {
      hinting_ = true;
      warmProbes_ = 0;
    } else if (++warmProbes_ >= kWarmProbes) {
      hinting_ = false;
    }
  }

  bool Hinting() const { return hinting_; }

 private:
  bool hinting_ = true;  // a disk is taken for cold until it shows otherwise
  int warmProbes_ = 0;
  std::size_t opened_ = 0;
};

}  // namespace crateline::archive
