#include "quorvel/binding/module.hpp"

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "quorvel/binding/ref.hpp"

namespace quorvel::binding {

namespace {

// Process-wide state of the module this copy of the binding layer serves.
std::atomic<int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;
const char* g_qualified_name = "quorvel";
PyModuleDef g_definition;
// Method definitions and docstrings must outlive the function objects, which
// live as long as the process; a deque never moves its elements. Made on
// first use, inside initialisation's exception handling.
std::deque<PyMethodDef>& methods() {
    static std::deque<PyMethodDef> defs;
    return defs;
}
std::deque<std::string>& docs() {
    static std::deque<std::string> texts;
    return texts;
}

std::string make_doc(const FunctionView& f) {
    std::string doc = f.name;
    doc += '(';
    for (std::size_t k = 0; k < f.parameters.size(); ++k) {
        if (k != 0) doc += ", ";
        doc += f.parameters[k].name;
        if (f.parameters[k].default_text != nullptr) {
            doc += '=';
            doc += f.parameters[k].default_text;
        }
    }
    doc += ")\n--\n\n";
    doc += f.doc_body;
    return doc;
}

// Creates the function object bound to the module, appends its __name__ to
// __all__ and sets the module attribute of that name.
bool register_function(PyObject* module, PyObject* module_name, PyObject* all,
                       const FunctionView& f) {
    docs().push_back(make_doc(f));
    PyMethodDef& def = methods().emplace_back();
    def.ml_name = f.name;
    def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f.entry));
    def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    def.ml_doc = docs().back().c_str();

    Ref function = Ref::steal(PyCMethod_New(&def, module, module_name, nullptr));
    if (!function) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    if (PyList_Append(all, name.get()) != 0) return false;
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

}  // namespace

const char* module_qualified_name() noexcept { return g_qualified_name; }

PyObject* init_module(const ModuleTable& definition) noexcept {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_Format(PyExc_ImportError,
                     "%s does not support sub-interpreters: it can only be imported by the "
                     "interpreter that first imported it",
                     definition.qualified_name);
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);

    try {
        g_qualified_name = definition.qualified_name;
        g_definition = PyModuleDef{PyModuleDef_HEAD_INIT, definition.name, "", 0, nullptr,
                                   nullptr,           nullptr,   nullptr, nullptr};
        Ref module = Ref::steal(PyModule_Create2(&g_definition, PYTHON_API_VERSION));
        if (!module) return nullptr;
        Ref module_name = Ref::steal(PyModule_GetNameObject(module.get()));
        if (!module_name) return nullptr;

        Ref all = Ref::steal(PyObject_GetAttrString(module.get(), "__all__"));
        if (!all) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            all = Ref::steal(PyList_New(0));
            if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) {
                return nullptr;
            }
        }
        for (const FunctionView& f : definition.functions) {
            if (!register_function(module.get(), module_name.get(), all.get(), f)) return nullptr;
        }
        g_module = module.release();
        return Py_NewRef(g_module);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

}  // namespace quorvel::binding
