#include "aio/accept.hpp"

#include "binding/call_adapter.hpp"
#include "binding/errors.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace cadrel::aio {

namespace {

int fd_argument(PyObject* value) {
    const long fd = PyLong_AsLong(value);
    if (fd == -1 && PyErr_Occurred()) binding::throw_host_error();
    if (fd < 0 || fd > INT_MAX) binding::raise_error(PyExc_ValueError, "Invalid file descriptor");
    return static_cast<int>(fd);
}

}  // namespace

PyObject* accept_connection(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return binding::call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 2) binding::raise_error(PyExc_TypeError, "accept() takes exactly 2 arguments");
        const int listening = fd_argument(args[0]);
        const int nodelay = PyObject_IsTrue(args[1]);
        if (nodelay < 0) binding::throw_host_error();
        int fd;
        do {
            fd = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) binding::raise_os_error(errno);
        if (nodelay) {
            const int on = 1;
            // As asyncio does, a socket that refuses the option is used as it is.
            (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        PyObject* number = PyLong_FromLong(fd);
        if (number == nullptr) ::close(fd);
        return number;
    });
}

}  // namespace cadrel::aio
