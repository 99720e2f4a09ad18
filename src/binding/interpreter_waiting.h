// How the module's runs wait: without the interpreter lock, so that other
// Python threads run meanwhile, looking for Ctrl-C (a signal handler that
// raised) about every Waiting::kLookInterval.
#pragma once

#include "binding/lock_release.h"
#include "texts/waiting.h"

namespace tamsel::binding {

class InterpreterWaiting final : public texts::Waiting {
 public:
  void let_go() override { lock_.release(); }
  void take_back() override { lock_.take_back(); }
  bool stop_requested() override { return signals_pending(); }

 private:
  LockRelease lock_;
};

}  // namespace tamsel::binding
