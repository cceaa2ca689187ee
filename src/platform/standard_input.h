// The process's standard input as a console program's main loop reads it:
// a handle to wait on beside other inputs, and reads that never block once
// that handle has said there is something.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/native_handle.h"

namespace dd::platform {

class StandardInput {
  public:
    StandardInput();
    ~StandardInput();
    StandardInput(const StandardInput&) = delete;
    StandardInput& operator=(const StandardInput&) = delete;

    // Whether a person types into it (a terminal or console).
    bool isTerminal() const;
    // Signalled when bytes wait or the input has ended; kNoHandle when
    // there is no input to wait on.
    NativeHandle handle() const;
    // The bytes read (at most size), 0 at the end of the input or when it
    // failed, -1 when nothing is there yet.
    long read(char* buffer, size_t size);

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace dd::platform
