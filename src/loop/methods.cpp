// Method bodies still to be built: matched and converted, then refused.
#include "binding/errors.hpp"
#include "loop/methods.hpp"

#include <string>

namespace cadrel::loop {

namespace {

[[noreturn]] void not_built(const char* method) {
    std::string message = std::string("CadrelLoop.") + method + "() is not implemented yet";
    binding::raise_error(PyExc_NotImplementedError, message.c_str());
}

}  // namespace

HostRef add_watcher(CadrelEventLoop&, Direction direction, std::int32_t, HostRef, HostRef) {
    not_built(direction == Direction::kRead ? "add_reader" : "add_writer");
}

HostRef remove_watcher(CadrelEventLoop&, Direction direction, std::int32_t) {
    not_built(direction == Direction::kRead ? "remove_reader" : "remove_writer");
}

}  // namespace cadrel::loop
