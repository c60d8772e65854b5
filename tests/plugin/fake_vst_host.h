#pragma once

// A host callback that records every call and answers what the test set.
// The callback is a plain function, so the recorder is global; tests reset it.

#include <functional>
#include <vector>

#include "plugin/vst2.h"

namespace kelvane::testing {

struct THostCall {
  AEffect* Effect;
  VstInt32 Opcode;
  VstInt32 Index;
  VstIntPtr Value;
  void* Ptr;
  float Opt;
};

struct TFakeHost {
  static inline std::vector<THostCall> Calls;
  static inline VstIntPtr Answer = 0;
  // When set, answers instead of Answer.
  static inline std::function<VstIntPtr(const THostCall&)> Responder;

  static void Reset() {
    Calls.clear();
    Answer = 0;
    Responder = nullptr;
  }

  static VstIntPtr VSTCALLBACK Callback(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                        void* ptr, float opt) {
    Calls.push_back({effect, opcode, index, value, ptr, opt});
    return Responder ? Responder(Calls.back()) : Answer;
  }
};

}  // namespace kelvane::testing
