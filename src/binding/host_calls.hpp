// Thin checked wrappers for the host calls that method bodies make.
//
// Each returns an owned reference or throws (see errors.hpp). Attribute and
// keyword names are interned once per process; host modules and their
// attributes are looked up afresh on every call.
#pragma once

#include "binding/errors.hpp"
#include "binding/host_ref.hpp"

#include <Python.h>

#include <atomic>
#include <initializer_list>

namespace cadrel::binding {

/// An interned host string made on first use and kept for the process.
class InternedName {
public:
    explicit constexpr InternedName(const char* text) : text_(text) {}
    /// Borrowed reference. Caller is attached.
    PyObject* get() const;

    /// For a module name: the module last imported under it (compare only).
    PyObject* module_seen_loaded() const noexcept { return module_.load(std::memory_order_acquire); }
    void remember_loaded(PyObject* module) const;

private:
    const char* text_;
    mutable std::atomic<PyObject*> object_{nullptr};
    mutable std::atomic<PyObject*> module_{nullptr};
};

/// The module as the host's import returns it: the loaded module from
/// sys.modules when there is one, else a full import.
HostRef import_module(const InternedName& name);

HostRef get_attr(PyObject* object, const InternedName& name);

/// get_attr for an attribute of a module. A plain module's attribute lookup
/// finds nothing on the module type, so a name in the module's dictionary is
/// taken from there directly; anything else (a module subclass, a name the
/// module's __getattr__ supplies) takes the full lookup.
HostRef module_attr(PyObject* module, const InternedName& name);

/// Like get_attr, but an AttributeError means absent (an empty HostRef).
HostRef get_attr_if_present(PyObject* object, const InternedName& name);

/// callable(*args) with keyword values after the positionals, named by
/// `kwnames` (a tuple of str, or null).
HostRef call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

/// object.name(*args)
HostRef call_method(PyObject* object, const InternedName& name, std::initializer_list<PyObject*> args);

/// A tuple of interned keyword names kept for the process.
class KeywordNames {
public:
    constexpr KeywordNames(const char* first, const char* second = nullptr, const char* third = nullptr)
        : names_{first, second, third} {}
    PyObject* get() const;

private:
    const char* names_[3];  // unused ones null
    mutable std::atomic<PyObject*> tuple_{nullptr};
};

}  // namespace cadrel::binding
