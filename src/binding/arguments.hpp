// Static argument descriptions and the matching of vector-call arguments.
//
// Matching fills one slot per declared parameter with a borrowed reference (or
// null when the parameter was not given) and collects extra positionals into a
// new tuple for methods that take *args. It raises TypeError with the four
// fixed messages: too many positionals, missing positionals, unexpected
// keyword, multiple values. Nothing is converted here.
#pragma once

#include "binding/host_ref.hpp"

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace cadrel::binding {

inline constexpr std::size_t kMaxParameters = 4;

struct ArgumentSpec {
    /// The full name used in messages, e.g. "CadrelLoop.call_at()".
    std::string_view full_name;
    /// Positional parameters in order; every one is required and may also be
    /// given by keyword.
    std::span<const std::string_view> positional;
    /// Keyword-only parameters, all optional.
    std::span<const std::string_view> keyword_only;
    /// Whether extra positionals are collected (*args) rather than refused.
    bool collects_extras;

    std::size_t parameter_count() const { return positional.size() + keyword_only.size(); }
};

struct MatchedArguments {
    /// Positional parameters first, then keyword-only; null when not given.
    std::array<PyObject*, kMaxParameters> slots{};
    /// The extra positionals (empty tuple when none); only for *args methods.
    HostRef extras;
};

/// Matches a vector call. Throws HostErrorSet with the TypeError set.
MatchedArguments match_vector_arguments(const ArgumentSpec& spec, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames);

/// Matches a tuple-and-dict call (the constructor).
MatchedArguments match_tuple_arguments(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs);

}  // namespace cadrel::binding
