// AioMessage: what other threads post to a cadrelio loop thread.
//
// Worker threads never touch the interpreter: their messages carry only native
// data (a descriptor and a watcher serial, a stream's id, or a bare wake-up). Host threads post
// handles from call_soon_threadsafe; those messages own one reference each.
#pragma once

#include "binding/host_ref.hpp"
#include "runtime/channel.hpp"
#include "runtime/readiness.hpp"

#include <cstdint>
#include <variant>

namespace cadrel::aio {

using binding::HostRef;

/// Run an asyncio.Handle posted from another host thread.
struct PostedHandle {
    HostRef handle;
};

/// The watcher `serial` of `fd` in `direction` saw its descriptor ready.
struct DescriptorReady {
    std::int32_t fd;
    rt::Direction direction;
    std::uint64_t serial;
};

/// The earliest timer may be due: look at the timer heap again.
struct TimerWake {};

/// Stream `id` has news for its transport (data, end of file, write progress, an error).
struct StreamReady {
    std::uint64_t id;
};

/// The last worker task of stream `id` let go of its descriptor: the loop
/// thread may close it.
struct StreamReleased {
    std::uint64_t id;
};

using AioMessage = std::variant<PostedHandle, DescriptorReady, TimerWake, StreamReady, StreamReleased>;
using AioSender = rt::Sender<AioMessage>;
using AioReceiver = rt::Receiver<AioMessage>;

}  // namespace cadrel::aio
