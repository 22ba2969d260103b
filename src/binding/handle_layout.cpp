#include "binding/handle_layout.hpp"

#include "binding/errors.hpp"
#include "binding/host_calls.hpp"
#include "binding/slots.hpp"

#include <atomic>
#include <iterator>

namespace cadrel::binding {

namespace {

/// Gives the type a version tag if it has none (the interpreter assigns them
/// lazily, and renews them after every change to the class).
void assign_version(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    (void)PyUnstable_Type_AssignVersionTag(type);
#else
    // A lookup through the type attribute cache tags the type.
    if (PyObject* name = PyUnicode_InternFromString("__init__")) {
        (void)_PyType_Lookup(type, name);
        Py_DECREF(name);
    }
    PyErr_Clear();
#endif
}

bool has_text(PyObject* object, const char* attribute, const char* text) noexcept {
    PyObject* value = PyObject_GetAttrString(object, attribute);
    bool equal = value && PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, text) == 0;
    Py_XDECREF(value);
    PyErr_Clear();
    return equal;
}

using handle_layout_detail::version_of;

}  // namespace

unsigned type_version(PyTypeObject* type) noexcept {
    if (version_of(type) == 0) assign_version(type);
    return version_of(type);
}

namespace {

const char* const kSlotNames[] = {"_callback", "_args", "_cancelled", "_loop", "_source_traceback", "_repr",
                                  "_context"};

/// asyncio.events if it is loaded: a new reference, or null (no error).
PyObject* loaded_asyncio_events() noexcept {
    PyObject* module_name = PyUnicode_FromString("asyncio.events");
    PyObject* events = module_name ? PyImport_GetModule(module_name) : nullptr;
    Py_XDECREF(module_name);
    PyErr_Clear();
    return events;
}

/// asyncio.events' class `name` if it is the one asyncio defines there (its
/// module and name, no metaclass of its own): a new reference, or null.
PyTypeObject* asyncio_class(const char* name) noexcept {
    PyObject* events = loaded_asyncio_events();
    PyObject* found = events ? PyObject_GetAttrString(events, name) : nullptr;
    Py_XDECREF(events);
    PyErr_Clear();
    if (found && PyType_Check(found) && Py_IS_TYPE(found, &PyType_Type) &&
        has_text(found, "__module__", "asyncio.events") && has_text(found, "__qualname__", name))
        return reinterpret_cast<PyTypeObject*>(found);
    Py_XDECREF(found);
    return nullptr;
}

bool defined_in_asyncio(PyObject* function) noexcept {
    return function && PyFunction_Check(function) && has_text(function, "__module__", "asyncio.events");
}

}  // namespace

/// Reads asyncio.events.Handle and TimerHandle once: the slots Handle's
/// __init__ stores, and that the classes are asyncio's (Handle with its own
/// __init__ and _run and no __new__; TimerHandle a direct subclass that
/// replaces neither _run nor a slot). Null if asyncio.events is not loaded
/// yet or a class is not recognised.
struct HandleLayoutProbe {
    static HandleLayout* handle() noexcept {
        PyTypeObject* type = asyncio_class("Handle");
        if (!type) return nullptr;
        auto* layout = new HandleLayout();
        layout->class_ = type;  // keeps the reference from the lookup for the process
        layout->init_ = Py_XNewRef(own_attribute(type, "__init__"));
        layout->run_ = Py_XNewRef(own_attribute(type, "_run"));
        Py_ssize_t* offsets[] = {&layout->callback_, &layout->args_, &layout->cancelled_, &layout->loop_,
                                 &layout->source_traceback_, &layout->repr_, &layout->context_};
        bool complete = defined_in_asyncio(layout->init_) && defined_in_asyncio(layout->run_);
        for (std::size_t i = 0; i < std::size(kSlotNames); ++i) {
            *offsets[i] = slot_offset(type, kSlotNames[i]);
            complete = complete && *offsets[i] != 0;
        }
        if (complete && layout->unchanged()) return layout;
        discard(layout);
        return nullptr;
    }

    static HandleLayout* timer_handle(const HandleLayout* handle) noexcept {
        PyTypeObject* type = asyncio_class("TimerHandle");
        if (!type) return nullptr;
        auto* layout = new HandleLayout(*handle);
        layout->class_ = type;
        layout->base_ = handle;
        layout->init_ = Py_XNewRef(own_attribute(type, "__init__"));
        Py_XINCREF(layout->run_);
        layout->when_ = slot_offset(type, "_when");
        layout->scheduled_ = slot_offset(type, "_scheduled");
        if (type->tp_base == handle->class_ && defined_in_asyncio(layout->init_) && layout->when_ &&
            layout->scheduled_ && layout->unchanged())
            return layout;
        discard(layout);
        return nullptr;
    }

    static void discard(HandleLayout* layout) noexcept {
        Py_XDECREF(layout->init_);
        Py_XDECREF(layout->run_);
        Py_XDECREF(layout->class_);
        delete layout;
    }
};

namespace handle_layout_detail {
constinit std::atomic<HandleLayout*> handle_layout{nullptr};
}  // namespace handle_layout_detail

namespace {

using handle_layout_detail::handle_layout;

/// Publishes a layout read once per process; a thread that loses the race
/// keeps the first one (the class objects are the same).
template <class Probe>
HandleLayout* read_once(std::atomic<HandleLayout*>& layout, Probe probe) noexcept {
    HandleLayout* known = layout.load(std::memory_order_acquire);
    if (known) return known;
    HandleLayout* read = probe();
    if (!read) return nullptr;
    if (layout.compare_exchange_strong(known, read, std::memory_order_acq_rel)) return read;
    HandleLayoutProbe::discard(read);
    return known;
}

constinit std::atomic<HandleLayout*> timer_handle_layout{nullptr};

// The type version of the class last found to have no layout while asyncio's
// classes could not be read, so that a patched or replaced class costs one
// probe, not one per call. A version names one class in one state: any change
// to the class, or another class, is probed again.
std::atomic<unsigned> rejected_version{0};

bool known_rejected(PyObject* handle_class) noexcept {
    const unsigned rejected = rejected_version.load(std::memory_order_relaxed);
    return rejected != 0 && PyType_Check(handle_class) &&
           version_of(reinterpret_cast<PyTypeObject*>(handle_class)) == rejected;
}

const HandleLayout* reject(PyObject* handle_class) noexcept {
    // Only once asyncio.events is loaded: before, the probe could not read it.
    PyObject* events = loaded_asyncio_events();
    if (events && PyType_Check(handle_class))
        rejected_version.store(type_version(reinterpret_cast<PyTypeObject*>(handle_class)), std::memory_order_relaxed);
    Py_XDECREF(events);
    return nullptr;
}

}  // namespace

const HandleLayout* HandleLayout::of_uncommon(PyObject* handle_class) noexcept {
    HandleLayout* handle = handle_layout.load(std::memory_order_acquire);
    if (handle && handle_class == reinterpret_cast<PyObject*>(handle->class_))
        return handle->unchanged() ? handle : nullptr;
    HandleLayout* timer = timer_handle_layout.load(std::memory_order_acquire);
    if (timer && handle_class == reinterpret_cast<PyObject*>(timer->class_))
        return timer->unchanged() ? timer : nullptr;
    if (handle && timer) return nullptr;  // neither of asyncio's classes
    // A class whose layout is not read yet: asyncio's, or one found not to be.
    if (known_rejected(handle_class)) return nullptr;
    handle = read_once(handle_layout, HandleLayoutProbe::handle);
    if (!handle) return reject(handle_class);
    if (handle_class == reinterpret_cast<PyObject*>(handle->class_)) return handle->unchanged() ? handle : nullptr;
    timer = read_once(timer_handle_layout, [handle] { return HandleLayoutProbe::timer_handle(handle); });
    if (timer && handle_class == reinterpret_cast<PyObject*>(timer->class_) && timer->unchanged()) return timer;
    return timer ? nullptr : reject(handle_class);
}

const HandleLayout* HandleLayout::builder(PyObject* handle_class) noexcept { return of(handle_class); }

bool HandleLayout::unchanged() const noexcept {
    if (verified()) return true;
    // Something in the class (or a base) changed, or it has no version yet: look again.
    if (base_) {
        // A subclass: the base must be as it was, and this class must replace
        // none of what is read or called directly.
        if (!base_->unchanged() || own_attribute(class_, "_run") || own_attribute(class_, "__new__") ||
            own_attribute(class_, "__init__") != init_ || slot_offset(class_, "_when") != when_ ||
            slot_offset(class_, "_scheduled") != scheduled_)
            return false;
        for (const char* name : kSlotNames)
            if (own_attribute(class_, name)) return false;
    } else {
        if (own_attribute(class_, "__init__") != init_ || own_attribute(class_, "_run") != run_ ||
            own_attribute(class_, "__new__"))
            return false;
        const Py_ssize_t offsets[] = {callback_, args_, cancelled_, loop_, source_traceback_, repr_, context_};
        for (std::size_t i = 0; i < std::size(kSlotNames); ++i)
            if (slot_offset(class_, kSlotNames[i]) != offsets[i]) return false;
    }
    verified_version_.store(type_version(class_), std::memory_order_relaxed);
    return true;
}

HostRef HandleLayout::build(PyObject* callback, PyObject* args, PyObject* loop, PyObject* context) const {
    HostRef copied_context = context ? HostRef::borrow(context) : check(PyContext_CopyCurrent());
    HostRef handle = check(class_->tp_alloc(class_, 0));
    PyObject* object = handle.get();
    auto store = [object](Py_ssize_t offset, PyObject* value) {
        slot_at(object, offset).store(Py_NewRef(value), std::memory_order_relaxed);
    };
    // In the order __init__ stores them.
    store(context_, copied_context.get());
    store(loop_, loop);
    store(callback_, callback);
    store(args_, args);
    store(cancelled_, Py_False);
    store(repr_, Py_None);
    store(source_traceback_, Py_None);
    return handle;
}

HostRef HandleLayout::build_timer(PyObject* when, PyObject* callback, PyObject* args, PyObject* loop,
                                  PyObject* context) const {
    HostRef handle = build(callback, args, loop, context);
    // Then what TimerHandle's __init__ adds (with debug mode off there is no
    // creation traceback to trim).
    slot_at(handle.get(), when_).store(Py_NewRef(when), std::memory_order_relaxed);
    slot_at(handle.get(), scheduled_).store(Py_NewRef(Py_False), std::memory_order_relaxed);
    return handle;
}

int HandleLayout::cancelled(PyObject* handle) const noexcept {
    PyObject* flag = slot_at(handle, cancelled_).load(std::memory_order_relaxed);
    if (flag == Py_True) return 1;
    if (flag == Py_False) return 0;
    return -1;
}

namespace {

const InternedName kFormatHelpers{"asyncio.format_helpers"};
const InternedName kFormatCallbackSource{"_format_callback_source"};
const InternedName kKeywordDefaults{"__kwdefaults__"};
const InternedName kGetDebug{"get_debug"};
const InternedName kCallExceptionHandler{"call_exception_handler"};
const KeywordNames kDebugKeyword{"debug"};

/// The exception being handled, as inside an `except` block, for the
/// guard's lifetime: what is raised meanwhile gets it as its __context__.
class HandlingException {
public:
    explicit HandlingException(PyObject* exception) : previous_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exception);
    }
    ~HandlingException() {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }
    HandlingException(const HandlingException&) = delete;
    HandlingException& operator=(const HandlingException&) = delete;

private:
    PyObject* previous_;
};

/// Whether asyncio's callback formatter takes the loop's debug mode (it does
/// in the versions whose Handle._run passes it).
bool formatter_takes_debug(PyObject* formatter) noexcept {
    PyObject* defaults = PyObject_GetAttr(formatter, kKeywordDefaults.get());
    bool takes = defaults && PyDict_Check(defaults) && PyDict_GetItemString(defaults, "debug");
    Py_XDECREF(defaults);
    PyErr_Clear();
    return takes;
}

}  // namespace

/// Reads three slots as new references; in a free-threaded build under the
/// handle's lock, which a concurrent cancel() takes to clear them.
struct HandleSlots {
    HostRef first, second, third;
    HandleSlots(PyObject* handle, Py_ssize_t a, Py_ssize_t b, Py_ssize_t c) {
#ifdef Py_GIL_DISABLED
        Py_BEGIN_CRITICAL_SECTION(handle);
#endif
        first = HostRef::steal(Py_XNewRef(slot_at(handle, a).load(std::memory_order_relaxed)));
        second = HostRef::steal(Py_XNewRef(slot_at(handle, b).load(std::memory_order_relaxed)));
        third = HostRef::steal(Py_XNewRef(slot_at(handle, c).load(std::memory_order_relaxed)));
#ifdef Py_GIL_DISABLED
        Py_END_CRITICAL_SECTION();
#endif
    }
};

std::optional<bool> HandleLayout::run(PyObject* handle) const noexcept {
    HandleSlots slots(handle, context_, callback_, args_);
    PyObject* context = slots.first.get();
    PyObject* callback = slots.second.get();
    PyObject* args = slots.third.get();
    if (!context || !callback || !args || !PyContext_CheckExact(context) || !PyTuple_CheckExact(args))
        return std::nullopt;
    // context.run(callback, *args)
    if (PyContext_Enter(context) == 0) {
        PyObject* result = PyObject_Vectorcall(callback, &PyTuple_GET_ITEM(args, 0),
                                               static_cast<size_t>(PyTuple_GET_SIZE(args)), nullptr);
        if (PyContext_Exit(context) < 0) Py_CLEAR(result);
        if (result) {
            Py_DECREF(result);
            return true;
        }
    }
    if (PyErr_ExceptionMatches(PyExc_SystemExit) || PyErr_ExceptionMatches(PyExc_KeyboardInterrupt))
        return false;
    return report_failure(handle, callback, args);
}

// Raw host calls throughout: whatever they raise, the internal-failure
// exception included, stays pending for the caller exactly as it would escape
// Handle._run.
bool HandleLayout::report_failure(PyObject* handle, PyObject* callback, PyObject* args) const noexcept {
    HostRef exception = fetch_exception();
    HandlingException handling(exception.get());
    try {
        return call_exception_handler(handle, callback, args, exception.get());
    } catch (const HostErrorSet&) {  // a name could not be made (out of memory): it is pending
        return false;
    }
}

bool HandleLayout::call_exception_handler(PyObject* handle, PyObject* callback, PyObject* args,
                                          PyObject* exception) const {
    HandleSlots slots(handle, loop_, source_traceback_, loop_);
    PyObject* loop = slots.first.get();
    PyObject* source_traceback = slots.second.get();
    if (!loop) {
        PyErr_SetString(PyExc_AttributeError, "'Handle' object has no attribute '_loop'");
        return false;
    }
    PyObject* helpers_name = kFormatHelpers.get();
    HostRef helpers = HostRef::steal(helpers_name ? PyImport_Import(helpers_name) : nullptr);
    if (!helpers) return false;
    HostRef formatter = HostRef::steal(PyObject_GetAttr(helpers.get(), kFormatCallbackSource.get()));
    if (!formatter) return false;
    HostRef source;
    if (formatter_takes_debug(formatter.get())) {
        HostRef debug = HostRef::steal(PyObject_CallMethodNoArgs(loop, kGetDebug.get()));
        if (!debug) return false;
        PyObject* stack[] = {callback, args, debug.get()};
        source = HostRef::steal(PyObject_Vectorcall(formatter.get(), stack, 2, kDebugKeyword.get()));
    } else {
        source = HostRef::steal(PyObject_CallFunctionObjArgs(formatter.get(), callback, args, nullptr));
    }
    if (!source) return false;
    HostRef message = HostRef::steal(PyUnicode_FromFormat("Exception in callback %S", source.get()));
    HostRef context = HostRef::steal(PyDict_New());
    if (!message || !context || PyDict_SetItemString(context.get(), "message", message.get()) < 0 ||
        PyDict_SetItemString(context.get(), "exception", exception) < 0 ||
        PyDict_SetItemString(context.get(), "handle", handle) < 0)
        return false;
    if (source_traceback) {
        int recorded = PyObject_IsTrue(source_traceback);
        if (recorded < 0 ||
            (recorded && PyDict_SetItemString(context.get(), "source_traceback", source_traceback) < 0))
            return false;
    }
    HostRef reported =
        HostRef::steal(PyObject_CallMethodOneArg(loop, kCallExceptionHandler.get(), context.get()));
    return static_cast<bool>(reported);
}

}  // namespace cadrel::binding
