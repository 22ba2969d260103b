// The worker tasks of a stream transport, and the loop thread's direct write.
// See stream_state.hpp for who owns what.
#pragma once

#include "aio/stream_state.hpp"
#include "runtime/task.hpp"

#include <sys/uio.h>

#include <cstddef>
#include <memory>

namespace cadrel::aio {

/// Reads batches into the lent buffer or `inbound` until end of file or an error.
rt::Task read_stream(StreamHold hold);

/// Write pipes: reports once the reading side has gone away (or sent data,
/// which a pipe's writer treats the same way).
rt::Task watch_hangup(StreamHold hold);

/// Flushes the outbound queue whenever the loop thread opens the write gate.
rt::Task write_stream(StreamHold hold);

/// Loop thread, nothing queued: writes what the descriptor takes now, in one
/// gathering write of the first 64 pieces at most. Returns the bytes written, or
/// -errno for a failure other than would-block.
long write_now(const StreamState& state, iovec* pieces, int count) noexcept;

}  // namespace cadrel::aio
