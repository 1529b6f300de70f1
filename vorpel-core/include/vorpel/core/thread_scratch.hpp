// Work buffers a thread keeps from one call to the next.
//
// A prompt pass needs several megabytes of chunk buffers; making them per call
// costs page faults and clears worth a few percent of a short prompt. A lease
// hands out the calling thread's kept buffers when they fit the request and
// replaces them when they do not. A call that starts while the same thread
// already holds the lease (from a callback between chunks) gets buffers of its
// own, so nested calls never share.
#pragma once

#include <memory>
#include <utility>

namespace vorpel::core {

// Scratch must provide `bool fits(const Args&...) const` and a constructor
// from the same arguments; Tag keeps the kept buffers of different users apart.
template <class Scratch, class Tag = Scratch>
class ScratchLease {
 public:
  template <class... Args>
  explicit ScratchLease(const Args&... args) {
    Slot& slot = this_thread();
    if (slot.in_use) {
      own_ = std::make_unique<Scratch>(args...);
      sc_ = own_.get();
      return;
    }
    if (!slot.kept || !slot.kept->fits(args...)) {
      slot.kept.reset();  // release the old buffers before the new ones are made
      slot.kept = std::make_unique<Scratch>(args...);
    }
    slot.in_use = true;
    sc_ = slot.kept.get();
  }
  ~ScratchLease() {
    if (!own_) this_thread().in_use = false;
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  Scratch& get() { return *sc_; }

 private:
  struct Slot {
    std::unique_ptr<Scratch> kept;
    bool in_use = false;
  };
  static Slot& this_thread() {
    thread_local Slot slot;
    return slot;
  }
  std::unique_ptr<Scratch> own_;
  Scratch* sc_ = nullptr;
};

}  // namespace vorpel::core
