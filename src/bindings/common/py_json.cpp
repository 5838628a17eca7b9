#include "bindings/common/py_json.hpp"

namespace velora::bindings {
namespace {

using Json = nlohmann::ordered_json;

std::string type_name(const py::handle& value) {
    return text_of(py::type::handle_of(value).attr("__name__"));
}

Json integer(const py::handle& value) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow == 0) {
        if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
        return static_cast<std::int64_t>(n);
    }
    const unsigned long long u = PyLong_AsUnsignedLongLong(value.ptr());
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        raise_python(PyExc_OverflowError, "int too large for JSON: " + text_of(value));
    }
    return static_cast<std::uint64_t>(u);
}

Json json_at_depth(const py::handle& value, std::size_t depth) {
    // A value that contains itself would never end; no plain data comes near this.
    if (depth > kMaxJsonNesting) raise_python(PyExc_ValueError, "Circular reference detected");
    if (value.is_none()) return nullptr;
    if (PyBool_Check(value.ptr())) return value.cast<bool>();
    if (PyLong_Check(value.ptr())) return integer(value);
    if (PyFloat_Check(value.ptr())) return value.cast<double>();
    if (PyUnicode_Check(value.ptr())) return value.cast<std::string>();
    if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
        Json array = Json::array();
        for (const auto item : value) array.push_back(json_at_depth(item, depth + 1));
        return array;
    }
    if (PyDict_Check(value.ptr())) {
        Json object = Json::object();
        for (const auto item : py::reinterpret_borrow<py::dict>(value)) {
            if (!PyUnicode_Check(item.first.ptr())) {
                raise_python(PyExc_TypeError, "keys must be str, not " + type_name(item.first));
            }
            object[item.first.cast<std::string>()] = json_at_depth(item.second, depth + 1);
        }
        return object;
    }
    raise_python(PyExc_TypeError, "Object of type " + type_name(value) + " is not JSON serializable");
}

}  // namespace

Json to_json(const py::handle& value) { return json_at_depth(value, 0); }

py::object to_python(const Json& value) {
    switch (value.type()) {
        case Json::value_t::boolean:
            return py::bool_(value.get<bool>());
        case Json::value_t::number_integer:
            return py::int_(value.get<std::int64_t>());
        case Json::value_t::number_unsigned:
            return py::int_(value.get<std::uint64_t>());
        case Json::value_t::number_float:
            return py::float_(value.get<double>());
        case Json::value_t::string:
            return utf8_text(value.get_ref<const std::string&>());
        case Json::value_t::array: {
            py::list list;
            for (const auto& item : value) list.append(to_python(item));
            return list;
        }
        case Json::value_t::object: {
            py::dict dict;
            for (const auto& [key, item] : value.items()) dict[py::str(key)] = to_python(item);
            return dict;
        }
        default:
            return py::none();
    }
}

}  // namespace velora::bindings
