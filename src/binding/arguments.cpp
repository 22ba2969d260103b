// Argument matching with the host-visible TypeError messages.
#include "binding/arguments.hpp"

#include "binding/errors.hpp"

#include <string>
#include <vector>

namespace cadrel::binding {

namespace {

[[noreturn]] void raise_type_error(const std::string& message) {
    raise_error(PyExc_TypeError, message.c_str());
}

[[noreturn]] void raise_too_many(const ArgumentSpec& spec, Py_ssize_t given) {
    // "arguments" stays plural whatever the count.
    raise_type_error(std::string(spec.full_name) + " takes " + std::to_string(spec.positional.size()) +
                     " positional arguments but " + std::to_string(given) +
                     (given == 1 ? " was" : " were") + " given");
}

[[noreturn]] void raise_missing(const ArgumentSpec& spec, const MatchedArguments& matched) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < spec.positional.size(); ++i)
        if (matched.slots[i] == nullptr) missing.push_back(spec.positional[i]);
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2) list += " and ";
            else if (i + 1 == missing.size()) list += ", and ";
            else list += ", ";
        }
        list += "'";
        list += missing[i];
        list += "'";
    }
    raise_type_error(std::string(spec.full_name) + " missing " + std::to_string(missing.size()) +
                     " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                     ": " + list);
}

/// Whether the host string `name` equals the (ASCII) parameter name. Compares
/// without encoding, so any keyword name, even one that cannot be encoded,
/// simply matches nothing.
bool names_parameter(PyObject* name, std::string_view parameter) {
    if (PyUnicode_GET_LENGTH(name) != static_cast<Py_ssize_t>(parameter.size())) return false;
    // Keywords are nearly always ASCII: one byte per character, compared at once.
    if (PyUnicode_IS_ASCII(name))
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(name)), parameter.size()) == parameter;
    for (std::size_t i = 0; i < parameter.size(); ++i)
        if (PyUnicode_READ_CHAR(name, static_cast<Py_ssize_t>(i)) != static_cast<Py_UCS4>(parameter[i]))
            return false;
    return true;
}

/// "{full}{middle}'{name}'", keeping the keyword's text exactly as given.
[[noreturn]] void raise_keyword_error(const ArgumentSpec& spec, const char* middle, PyObject* name) {
    HostRef prefix = host_string(std::string(spec.full_name) + middle + "'");
    HostRef message = check(PyUnicode_FromFormat("%U%U'", prefix.get(), name));
    raise_error(PyExc_TypeError, message);
}

/// Places one keyword argument by name: keyword-only parameters first, then
/// positional ones.
void place_keyword(const ArgumentSpec& spec, MatchedArguments& matched, PyObject* name,
                   PyObject* value) {
    std::size_t slot = spec.parameter_count();
    for (std::size_t i = 0; i < spec.keyword_only.size(); ++i)
        if (names_parameter(name, spec.keyword_only[i])) slot = spec.positional.size() + i;
    if (slot == spec.parameter_count()) {
        for (std::size_t i = 0; i < spec.positional.size(); ++i)
            if (names_parameter(name, spec.positional[i])) slot = i;
    }
    if (slot == spec.parameter_count()) raise_keyword_error(spec, " got an unexpected keyword argument ", name);
    if (matched.slots[slot] != nullptr) raise_keyword_error(spec, " got multiple values for argument ", name);
    matched.slots[slot] = value;
}

MatchedArguments place_positionals(const ArgumentSpec& spec, PyObject* const* args,
                                   Py_ssize_t nargs) {
    MatchedArguments matched;
    const auto declared = static_cast<Py_ssize_t>(spec.positional.size());
    if (nargs > declared && !spec.collects_extras) raise_too_many(spec, nargs);
    for (Py_ssize_t i = 0; i < nargs && i < declared; ++i) matched.slots[i] = args[i];
    if (spec.collects_extras) {
        Py_ssize_t extra = nargs > declared ? nargs - declared : 0;
        matched.extras = check(PyTuple_New(extra));
        for (Py_ssize_t i = 0; i < extra; ++i) {
            PyObject* item = args[declared + i];
            Py_INCREF(item);
            PyTuple_SET_ITEM(matched.extras.get(), i, item);
        }
    }
    return matched;
}

void require_positionals(const ArgumentSpec& spec, const MatchedArguments& matched,
                         Py_ssize_t nargs) {
    if (static_cast<std::size_t>(nargs) >= spec.positional.size()) return;
    for (std::size_t i = 0; i < spec.positional.size(); ++i)
        if (matched.slots[i] == nullptr) raise_missing(spec, matched);
}

}  // namespace

MatchedArguments match_vector_arguments(const ArgumentSpec& spec, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames) {
    MatchedArguments matched = place_positionals(spec, args, nargs);
    if (kwnames != nullptr) {
        Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i)
            place_keyword(spec, matched, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
    }
    require_positionals(spec, matched, nargs);
    return matched;
}

MatchedArguments match_tuple_arguments(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    MatchedArguments matched =
        place_positionals(spec, args ? PySequence_Fast_ITEMS(args) : nullptr, nargs);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) raise_type_error("keywords must be strings");
            place_keyword(spec, matched, key, value);
        }
    }
    require_positionals(spec, matched, nargs);
    return matched;
}

}  // namespace cadrel::binding
