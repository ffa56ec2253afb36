// The module's entry point and lifecycle: definition, creation and execution.
#include "concept/concrete/class_creation.h"
#include "concept/concrete/code_objects.h"
#include "concept/concrete/concept_methods.h"
#include "concept/concrete/module_constants.h"
#include "runtime/attributes.h"
#include "runtime/ref.h"
#include "runtime/runtime_state.h"
#include "runtime/traceback.h"
#include "source_lines.h"

#include <cstdio>

ModuleState module_state{};

namespace {

// The first interpreter that created the module: ModuleState is process-wide, so the
// module lives in one interpreter per process.
int64_t main_interpreter_id = -1;

constexpr const char init_function_name[] = "init " LCC_MODULE_NAME;

// Copies one spec attribute into the module dictionary; a missing attribute is skipped.
int copy_spec_attribute(PyObject* spec, const char* attribute, PyObject* dict, const char* key,
                        bool copy_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    if (!copy_none && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(dict, key, value.get());
}

PyObject* module_create_slot(PyObject* spec, PyModuleDef*) {
    const int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id == -1) {
        return nullptr;
    }
    if (main_interpreter_id == -1) {
        main_interpreter_id = interpreter_id;
    } else if (interpreter_id != main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (module_state.module_object) {
        // The interpreter drops the module's state block when a create slot hands back a
        // module, and its exec step allocates a new one: free the old block, or every
        // re-import would leak it. Nothing reads it in between.
        PyMem_Free(PyModule_GetState(module_state.module_object));
        return Py_NewRef(module_state.module_object);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    name.reset();
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());  // borrowed
    if (!dict || copy_spec_attribute(spec, "loader", dict, "__loader__", true) < 0 ||
        copy_spec_attribute(spec, "origin", dict, "__file__", true) < 0 ||
        copy_spec_attribute(spec, "parent", dict, "__package__", true) < 0 ||
        copy_spec_attribute(spec, "submodule_search_locations", dict, "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// `import name` (no names) or a sys.modules hit that has every one of `names`.
Ref import_module(PyObject* name, PyObject* const* names, Py_ssize_t count) {
    Ref module = Ref::steal(PyImport_GetModule(name));
    if (module.get() == Py_None) {
        // None in sys.modules blocks the import: let the import machinery say so rather
        // than binding None.
        module.reset();
    }
    if (module) {
        if (names) {
            bool complete = true;
            for (Py_ssize_t i = 0; i < count && complete; ++i) {
                complete = PyObject_HasAttr(module.get(), names[i]);
            }
            if (complete) {
                return module;
            }
        } else {
            const Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), 1);
            if (dot == -2) {
                return Ref();
            }
            if (dot == -1) {
                return module;
            }
            // `import a.b` binds the top-level package.
            Ref top_name = Ref::steal(PyUnicode_Substring(name, 0, dot));
            if (!top_name) {
                return Ref();
            }
            Ref top = Ref::steal(PyImport_GetModule(top_name.get()));
            if (top || PyErr_Occurred()) {
                return top;
            }
        }
        module.reset();
    } else if (PyErr_Occurred()) {
        return Ref();
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) {
        return Ref();
    }
    Ref from_list;
    if (names) {
        from_list = Ref::steal(PyList_New(count));
        if (!from_list) {
            return Ref();
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyList_SET_ITEM(from_list.get(), i, Py_NewRef(names[i]));
        }
    }
    return Ref::steal(PyImport_ImportModuleLevelObject(name, runtime_state.module_dict, locals.get(),
                                                       from_list.get(), 0));
}

// A submodule that is not (yet) an attribute of its package still imports: the module
// `<module's name>.<name>` from sys.modules. Empty when there is none or a step fails.
Ref imported_submodule(PyObject* module, PyObject* name) {
    const char* module_name = PyModule_GetName(module);
    if (!module_name) {
        return Ref();
    }
    Ref package = Ref::steal(PyUnicode_FromString(module_name));
    if (!package) {
        return Ref();
    }
    Ref prefix = Ref::steal(PyUnicode_Concat(package.get(), constant(Const::dot)));
    if (!prefix) {
        return Ref();
    }
    Ref dotted = Ref::steal(PyUnicode_Concat(prefix.get(), name));
    if (!dotted) {
        return Ref();
    }
    return Ref::steal(PyImport_GetModule(dotted.get()));
}

// What `from module import name` yields; ImportError "cannot import name" otherwise.
Ref import_from(PyObject* module, PyObject* name) {
    Ref value = get_attr(module, name);
    if (value) {
        return value;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        value = imported_submodule(module, name);
    }
    if (!value) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

// `from module_name import name`, bound in the module dictionary under `name`.
int import_name_from(Const module_name, Const name) {
    PyObject* const wanted[] = {constant(name)};
    Ref module = import_module(constant(module_name), wanted, 1);
    if (!module) {
        return -1;
    }
    Ref value = import_from(module.get(), wanted[0]);
    if (!value) {
        return -1;
    }
    return PyDict_SetItem(runtime_state.module_dict, wanted[0], value.get());
}

// Warns (RuntimeWarning) when the interpreter running the module is not the one it was
// built for.
int check_runtime_version() {
    const unsigned long runtime = Py_Version;
    if ((runtime >> 16) == ((static_cast<unsigned long>(PY_MAJOR_VERSION) << 8) | PY_MINOR_VERSION)) {
        return 0;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, LCC_MODULE_NAME, "does not match", static_cast<int>((runtime >> 24) & 0xFF),
                  static_cast<int>((runtime >> 16) & 0xFF));
    return PyErr_WarnEx(nullptr, message, 1);
}

// Steps up to the numeric constants: failures here have no traceback entry.
int prepare_runtime(PyObject* module) {
    ModuleState& state = module_state;
    if (setup_runtime_state(module, LCC_SOURCE_FILE_NAME) < 0 ||
        store_owned(state.native_runtime_module, Py_XNewRef(PyImport_AddModule("native_runtime"))) < 0 ||
        PyObject_SetAttrString(module, "__builtins__", runtime_state.builtins_module) < 0 ||
        check_runtime_version() < 0 ||
        store_owned(state.empty_bytes, PyBytes_FromStringAndSize(nullptr, 0)) < 0 ||
        decode_constants_table() < 0) {
        return -1;
    }
    if (store_owned(state.float_zero, PyFloat_FromDouble(0.0)) < 0 ||
        store_owned(state.float_one, PyFloat_FromDouble(1.0)) < 0 ||
        store_owned(state.int_zero, PyLong_FromLong(0)) < 0) {
        return -1;
    }
    return 0;
}

int register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* existing = PyDict_GetItemWithError(modules, constant(Const::module_name));
    if (existing) {
        return 0;
    }
    return PyErr_Occurred() ? -1 : PyDict_SetItem(modules, constant(Const::module_name), module);
}

int cache_builtin(PyObject*& field, Const name) {
    Ref value = get_attr_or_null(runtime_state.builtins_module, constant(name));
    if (!value) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", constant(name));
        }
        return -1;
    }
    return store_owned(field, value.release());
}

int bind_global(Const name, Ref value) {
    if (!value) {
        return -1;
    }
    return PyDict_SetItem(runtime_state.module_dict, constant(name), value.get());
}

// Everything after the numeric constants; *line is the source line of a failing step.
int run_module_body(PyObject* module, int* line) {
    *line = source_line::set_up_module;
    if (setup_shared_types() < 0 || register_in_sys_modules(module) < 0 ||
        cache_builtin(module_state.builtin_property, Const::property) < 0 ||
        cache_builtin(module_state.builtin_super, Const::super) < 0 || make_code_objects() < 0) {
        return -1;
    }
    *line = source_line::import_typing;
    if (bind_global(Const::typing, import_module(constant(Const::typing), nullptr, 0)) < 0) {
        return -1;
    }
    *line = source_line::import_fuzzy_concrete_concept;
    if (import_name_from(Const::fuzzy_module, Const::FuzzyConcreteConcept) < 0) {
        return -1;
    }
    *line = source_line::import_operator_concept;
    if (import_name_from(Const::operator_module, Const::OperatorConcept) < 0) {
        return -1;
    }
    *line = source_line::import_util;
    if (import_name_from(Const::util_module, Const::Util) < 0) {
        return -1;
    }
    if (create_class(line) < 0) {
        return -1;
    }
    *line = source_line::set_up_module;
    return bind_global(Const::dunder_test, Ref::steal(PyDict_New()));
}

int module_exec_slot(PyObject* module) {
    if (module_state.module_object) {
        if (module_state.module_object == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'linear_concrete_concept' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    module_state.module_object = Py_NewRef(module);
    int line = 0;
    if (prepare_runtime(module) == 0) {
        if (run_module_body(module, &line) == 0) {
            return 0;
        }
        if (runtime_state.module_dict) {
            add_traceback(init_function_name, line);
        }
    }
    Py_CLEAR(module_state.module_object);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create_slot)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec_slot)},
    {0, nullptr},
};

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "linear_concrete_concept", nullptr, 0, module_methods,
    module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_linear_concrete_concept() {
    return PyModuleDef_Init(&module_definition);
}

#ifdef _WIN32
#include <windows.h>

// The runtime needs no per-thread set-up: switch thread notifications off. C linkage: the
// C runtime's entry point calls DllMain by its C name, and supplies a default of its own
// when no such symbol exists.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
#endif
