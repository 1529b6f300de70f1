// Hooks an engine operation calls back into its front end while it runs.
#pragma once

#include <functional>

namespace vorpel {

// Polled by long operations between prompt chunks and between tokens, on the
// calling thread. A front end that wants the operation abandoned (the Python
// module on a pending KeyboardInterrupt) throws its own exception from here;
// engine code holds all state in RAII objects, so unwinding through it is safe.
struct CallHooks {
  std::function<void()> poll;

  void check() const {
    if (poll) poll();
  }
};

}  // namespace vorpel
