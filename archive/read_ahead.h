// When to ask the system to read a message's file ahead of its turn.
//
// On a cold disk the hint keeps many reads in flight while the compressor works; on a warm
// cache it finds every page there already and costs a system call that walks them, a few
// percent of a whole conversion. So the writer gives the hint until the files prove to be in
// the cache. While hinting, every kProbeEvery-th file opened ahead is asked first whether the
// cache holds its start (a probe, which never waits for the disk: a file it finds missing is
// hinted like the rest); kWarmProbes cached probes in a row stop the hints. Without hints,
// every file's first read tells whether it came from the cache, and one that had to wait for
// the disk starts them again.
#pragma once

#include <cstddef>

namespace crateline::archive {

class ReadAheadPolicy {
 public:
  static constexpr std::size_t kProbeEvery = 64;
  static constexpr int kWarmProbes = 4;

  bool Hinting() const { return hinting_; }

  // While hinting: whether to probe the next file opened ahead.
  bool ProbeNext() { return ++opened_ % kProbeEvery == 0; }

  // What a probe found, or the first read of a file opened while not hinting: `cached` when
  // its bytes were in the cache, false when they were not or the system could not tell.
  void Observed(bool cached) {
    if (!cached) {
      hinting_ = true;
      warmProbes_ = 0;
    } else if (++warmProbes_ >= kWarmProbes) {
      hinting_ = false;
    }
  }

 private:
  bool hinting_ = true;  // a disk is taken for cold until it shows otherwise
  int warmProbes_ = 0;
  std::size_t opened_ = 0;
};

}  // namespace crateline::archive
