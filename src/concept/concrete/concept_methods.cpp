// The bodies of LinearConcreteConcept's methods, the table of their facts and the
// wrappers that bind their arguments. Every failing step records one traceback entry at
// the source line that names it.
#include "concept/concrete/concept_methods.h"

#include <array>
#include <utility>

#include "concept/concrete/module_constants.h"
#include "runtime/argument_binding.h"
#include "runtime/calls.h"
#include "runtime/function_object.h"
#include "runtime/hashing.h"
#include "runtime/number_text.h"
#include "runtime/ref.h"
#include "runtime/text_join.h"
#include "runtime/traceback.h"
#include "source_lines.h"

namespace {

GlobalLookupCaches& caches() { return module_state.global_lookup_caches; }

// Records the traceback entry of a failed step and gives the failure result.
inline PyObject* fail(const char* function_name, int line) {
    add_traceback(function_name, line);
    return nullptr;
}

// Steals `value` into the caller's result; records the entry when it is empty.
inline PyObject* result_or_fail(Ref value, const char* function_name, int line) {
    return value ? value.release() : fail(function_name, line);
}

// The cache of an instance attribute that the bodies read and write.
InstanceAttributeCache* attribute_cache(Const name) {
    switch (name) {
    case Const::name: return &module_state.attribute_name;
    case Const::k1: return &module_state.attribute_k1;
    case Const::k2: return &module_state.attribute_k2;
    case Const::underscore_a: return &module_state.attribute_a;
    case Const::underscore_b: return &module_state.attribute_b;
    default: return nullptr;
    }
}

// self.<name>, for the instance attributes (through their caches) and any other name.
Ref read_stored(PyObject* self, Const name) {
    InstanceAttributeCache* cache = attribute_cache(name);
    return cache ? get_instance_attribute(self, constant(name), *cache) : get_attr(self, constant(name));
}

// Stores `value` converted to float in instance attribute `name` of `self`.
int store_float(PyObject* self, Const name, PyObject* value) {
    Ref converted = float_of(value);
    if (!converted) {
        return -1;
    }
    return set_instance_attribute(self, constant(name), converted.get(), *attribute_cache(name));
}

// ---- __init__ ----------------------------------------------------------------------

constexpr const char init_name[] = LCC_METHOD_NAME("__init__");

// The `__init__` that super(defining_class, self) finds after defining_class in the MRO of
// self's type, when it is a plain Python function: calling it with (self, name) is what
// the proxy's bound method does. Empty (no exception) when the proxy must do the work.
Ref next_plain_init(PyObject* defining_class, PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject* mro = type->tp_mro;
    if (!PyType_Check(defining_class) || PyType_Check(self) || !mro ||
        !PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(defining_class))) {
        return Ref();
    }
    Ref hold_mro = Ref::borrow(mro);  // a lookup below may replace type->tp_mro
    const Py_ssize_t count = PyTuple_GET_SIZE(mro);
    Py_ssize_t i = 0;
    while (i + 1 < count && PyTuple_GET_ITEM(mro, i) != defining_class) {
        ++i;
    }
    for (++i; i < count; ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        PyObject* found = PyDict_GetItemWithError(dict, constant(Const::dunder_init));
        if (found) {
            if (!PyFunction_Check(found)) {
                return Ref();  // not a plain function: the proxy calls it
            }
            return Ref::borrow(found);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    return Ref();
}

int initialise_base(PyObject* function, PyObject* self, PyObject* name) {
    PyObject* defining_class = function_defining_class(function);
    if (!defining_class) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        return -1;
    }
    // The shortcut does what the interpreter's own super does, so it stands in only for
    // that: a replaced builtins.super, cached at set-up, is called as such.
    if (module_state.builtin_super == reinterpret_cast<PyObject*>(&PySuper_Type)) {
        Ref base_init = next_plain_init(defining_class, self);
        if (base_init) {
            PyObject* arguments[] = {self, name};
            return Ref::steal(PyObject_Vectorcall(base_init.get(), arguments, 2, nullptr)) ? 0 : -1;
        }
        if (PyErr_Occurred()) {
            return -1;
        }
    }
    PyObject* super_arguments[] = {defining_class, self};
    Ref proxy = call_object(module_state.builtin_super, super_arguments, 2, nullptr);
    if (!proxy) {
        return -1;
    }
    PyObject* init_arguments[] = {proxy.get(), name};
    Ref ignored = Ref::steal(PyObject_VectorcallMethod(
        constant(Const::dunder_init), init_arguments, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return ignored ? 0 : -1;
}

// The truth of `left <operation> right`: 1, 0, or -1 on failure. Exact floats (and the
// module's int 0) compare as doubles, exactly as float's own comparison does.
int compare(PyObject* left, PyObject* right, int operation) {
    if (PyFloat_CheckExact(left) && (PyFloat_CheckExact(right) || right == module_state.int_zero)) {
        const double x = PyFloat_AS_DOUBLE(left);
        const double y = right == module_state.int_zero ? 0.0 : PyFloat_AS_DOUBLE(right);
        switch (operation) {
        case Py_LE: return x <= y;
        case Py_GE: return x >= y;
        case Py_GT: return x > y;
        default: break;
        }
    }
    Ref comparison = Ref::steal(PyObject_RichCompare(left, right, operation));
    return comparison ? truth_value(comparison.get()) : -1;
}

// Calls Util.error with the message joined from `pieces` (texts at the odd positions are
// the values' texts, the rest ASCII literals of `literal_length` code points in all).
int report_violation(GlobalLookupCache& cache, PyObject** pieces, Py_ssize_t count,
                     Py_ssize_t literal_length) {
    Ref util = lookup_module_global(constant(Const::Util), cache);
    if (!util) {
        return -1;
    }
    Ref error = get_attr(util.get(), constant(Const::error));
    if (!error) {
        return -1;
    }
    util.reset();
    Ref texts[2];
    Py_ssize_t length = literal_length;
    Py_UCS4 bound = 0x7F;
    for (Py_ssize_t i = 1, t = 0; i < count; i += 2, ++t) {
        texts[t] = value_text(pieces[i]);
        if (!texts[t]) {
            return -1;
        }
        pieces[i] = texts[t].get();
        length += PyUnicode_GET_LENGTH(pieces[i]);
        bound |= kind_char_bound(pieces[i]);
    }
    Ref message = join_pieces(pieces, count, length, bound);
    if (!message) {
        return -1;
    }
    PyObject* vector[] = {nullptr, message.get()};
    Ref ignored = call_unpacking_method(std::move(error), vector, 1);
    return ignored ? 0 : -1;
}

PyObject* init_body(PyObject* function, PyObject* const* arguments) {
    PyObject* self = arguments[0];
    PyObject* name = arguments[1];
    PyObject* k1 = arguments[2];
    PyObject* k2 = arguments[3];
    PyObject* a = arguments[4];
    PyObject* b = arguments[5];
    if (initialise_base(function, self, name) < 0) {
        return fail(init_name, source_line::init_calls_base);
    }
    const int k1_above_a = compare(k1, a, Py_GT);
    if (k1_above_a < 0) {
        return fail(init_name, source_line::init_checks_k1);
    }
    if (k1_above_a) {
        PyObject* pieces[] = {constant(Const::error_prefix), k1, constant(Const::le_sep), a};
        constexpr Py_ssize_t literal_length = ascii_length({Const::error_prefix, Const::le_sep});
        if (report_violation(caches().init_util_k1, pieces, 4, literal_length) < 0) {
            return fail(init_name, source_line::init_reports_k1);
        }
    }
    const int b_above_one = compare(b, module_state.float_one, Py_GT);
    if (b_above_one < 0) {
        return fail(init_name, source_line::init_checks_b);
    }
    if (b_above_one) {
        PyObject* pieces[] = {constant(Const::error_prefix), b, constant(Const::le_one)};
        constexpr Py_ssize_t literal_length = ascii_length({Const::error_prefix, Const::le_one});
        if (report_violation(caches().init_util_b, pieces, 3, literal_length) < 0) {
            return fail(init_name, source_line::init_reports_b);
        }
    }
    if (store_float(self, Const::k1, k1) < 0) {
        return fail(init_name, source_line::init_stores_k1);
    }
    if (store_float(self, Const::k2, k2) < 0) {
        return fail(init_name, source_line::init_stores_k2);
    }
    if (store_float(self, Const::underscore_a, a) < 0) {
        return fail(init_name, source_line::init_stores_a);
    }
    if (store_float(self, Const::underscore_b, b) < 0) {
        return fail(init_name, source_line::init_stores_b);
    }
    Py_RETURN_NONE;
}

// ---- properties a and b ------------------------------------------------------------

constexpr const char a_name[] = LCC_METHOD_NAME("a");
constexpr const char b_name[] = LCC_METHOD_NAME("b");

// What the getter of `a` (`b`) returns for `self`, its traceback entry recorded.
Ref stored_a(PyObject* self) {
    Ref value = read_stored(self, Const::underscore_a);
    if (!value) {
        add_traceback(a_name, source_line::get_a_reads_stored);
    }
    return value;
}

Ref stored_b(PyObject* self) {
    Ref value = read_stored(self, Const::underscore_b);
    if (!value) {
        add_traceback(b_name, source_line::get_b_reads_stored);
    }
    return value;
}

PyObject* getter_a_body(PyObject*, PyObject* const* arguments) {
    return stored_a(arguments[0]).release();
}

PyObject* setter_a_body(PyObject*, PyObject* const* arguments) {
    if (store_float(arguments[0], Const::underscore_a, arguments[1]) < 0) {
        return fail(a_name, source_line::set_a_stores);
    }
    Py_RETURN_NONE;
}

PyObject* getter_b_body(PyObject*, PyObject* const* arguments) {
    return stored_b(arguments[0]).release();
}

// self.a and self.b as the method bodies read them. While the instance's type resolves
// the name to this class's own property through the generic lookup, the getter's body
// runs here directly: the same reads, the same result, the same traceback entries.
Ref read_a(PyObject* self) {
    if (reads_through_own_property(self, constant(Const::a), method_definition(CodeIndex::getter_a),
                                   module_state.read_a)) {
        return stored_a(self);
    }
    return get_attr(self, constant(Const::a));
}

Ref read_b(PyObject* self) {
    if (reads_through_own_property(self, constant(Const::b), method_definition(CodeIndex::getter_b),
                                   module_state.read_b)) {
        return stored_b(self);
    }
    return get_attr(self, constant(Const::b));
}

// Any attribute of `self` that a method body reads.
Ref read_attribute(PyObject* self, Const name) {
    switch (name) {
    case Const::a: return read_a(self);
    case Const::b: return read_b(self);
    default: return read_stored(self, name);
    }
}

PyObject* setter_b_body(PyObject*, PyObject* const* arguments) {
    if (store_float(arguments[0], Const::underscore_b, arguments[1]) < 0) {
        return fail(b_name, source_line::set_b_stores);
    }
    Py_RETURN_NONE;
}

// ---- clone -------------------------------------------------------------------------

constexpr const char clone_name[] = LCC_METHOD_NAME("clone");

Ref clone_concept(PyObject* self) {
    Ref concept_class = lookup_module_global(constant(Const::LinearConcreteConcept), caches().clone_class);
    if (!concept_class) {
        return Ref();
    }
    constexpr Const read_order[] = {Const::name, Const::k1, Const::k2, Const::a, Const::b};
    Ref values[5];
    PyObject* vector[6] = {nullptr};
    for (int i = 0; i < 5; ++i) {
        values[i] = read_attribute(self, read_order[i]);
        if (!values[i]) {
            return Ref();
        }
        vector[i + 1] = values[i].get();
    }
    return call_unpacking_method(std::move(concept_class), vector, 5);
}

PyObject* clone_body(PyObject*, PyObject* const* arguments) {
    return result_or_fail(clone_concept(arguments[0]), clone_name, source_line::clone_constructs);
}

// ---- get_membership_degree ---------------------------------------------------------

constexpr const char degree_name[] = LCC_METHOD_NAME("get_membership_degree");

// An operand of the membership arithmetic. Values that are exact floats are held as
// doubles: float arithmetic runs no code of anyone's, so it may run unboxed, in the same
// order and with the same IEEE results. Anything else stays an object and goes through
// the number protocol at its own step. An empty operand means a failed step.
class Operand {
public:
    static Operand wrap(Ref object) {
        Operand operand;
        if (object && PyFloat_CheckExact(object.get())) {
            operand.unboxed_ = true;
            operand.value_ = PyFloat_AS_DOUBLE(object.get());
        } else {
            operand.object_ = std::move(object);
        }
        return operand;
    }
    static Operand unboxed(double value) {
        Operand operand;
        operand.unboxed_ = true;
        operand.value_ = value;
        return operand;
    }
    static Operand boxed(Ref object) {
        Operand operand;
        operand.object_ = std::move(object);
        return operand;
    }

    bool failed() const { return !unboxed_ && !object_; }
    bool is_unboxed() const { return unboxed_; }
    double value() const { return value_; }
    Ref box() const {
        return unboxed_ ? Ref::steal(PyFloat_FromDouble(value_)) : Ref::borrow(object_.get());
    }

private:
    bool unboxed_ = false;
    double value_ = 0.0;
    Ref object_;
};

// The operations take operands that hold a value; their result may be empty. Inline: the
// unboxed cases are a few instructions each.
inline Operand arithmetic(const Operand& left, const Operand& right, binaryfunc generic,
                   double (*unboxed)(double, double)) {
    if (left.is_unboxed() && right.is_unboxed()) {
        return Operand::unboxed(unboxed(left.value(), right.value()));
    }
    Ref x = left.box();
    if (!x) {
        return Operand();
    }
    Ref y = right.box();
    if (!y) {
        return Operand();
    }
    return Operand::boxed(Ref::steal(generic(x.get(), y.get())));
}

inline Operand add(const Operand& x, const Operand& y) {
    return arithmetic(x, y, PyNumber_Add, [](double a, double b) { return a + b; });
}

inline Operand subtract(const Operand& x, const Operand& y) {
    return arithmetic(x, y, PyNumber_Subtract, [](double a, double b) { return a - b; });
}

inline Operand multiply(const Operand& x, const Operand& y) {
    return arithmetic(x, y, PyNumber_Multiply, [](double a, double b) { return a * b; });
}

inline Operand divide(const Operand& x, const Operand& y) {
    if (y.is_unboxed() && y.value() == 0.0 && x.is_unboxed()) {
        PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
        return Operand();
    }
    return arithmetic(x, y, PyNumber_TrueDivide, [](double a, double b) { return a / b; });
}

// 1.0 - x
inline Operand one_minus(const Operand& x) {
    if (x.is_unboxed()) {
        return Operand::unboxed(1.0 - x.value());
    }
    Ref object = x.box();
    return Operand::boxed(float_constant_minus(module_state.float_one, object.get(), 1.0));
}

// self.b <operation> self.a, b read first.
template <Operand (*operation)(const Operand&, const Operand&)>
Operand b_with_a(PyObject* self) {
    const Operand b = Operand::wrap(read_b(self));
    if (b.failed()) {
        return Operand();
    }
    const Operand a = Operand::wrap(read_a(self));
    if (a.failed()) {
        return Operand();
    }
    return operation(b, a);
}

// The degree on the segment from (0, 0) to (a, b): (b / a) * value
Ref degree_on_first_segment(PyObject* self, const Operand& value) {
    const Operand slope = b_with_a<divide>(self);
    if (slope.failed()) {
        return Ref();
    }
    return multiply(slope, value).box();
}

// The degree on the segment from (a, b) to (1, 1):
// (value * (1.0 - b) + (b - a)) / (1.0 - a)
Ref degree_on_second_segment(PyObject* self, const Operand& value) {
    const Operand b = Operand::wrap(read_b(self));
    if (b.failed()) {
        return Ref();
    }
    const Operand rise = one_minus(b);
    if (rise.failed()) {
        return Ref();
    }
    const Operand product = multiply(value, rise);
    if (product.failed()) {
        return Ref();
    }
    const Operand offset = b_with_a<subtract>(self);
    if (offset.failed()) {
        return Ref();
    }
    const Operand sum = add(product, offset);
    if (sum.failed()) {
        return Ref();
    }
    const Operand a = Operand::wrap(read_a(self));
    if (a.failed()) {
        return Ref();
    }
    const Operand run = one_minus(a);
    if (run.failed()) {
        return Ref();
    }
    return divide(sum, run).box();
}

PyObject* get_membership_degree_body(PyObject*, PyObject* const* arguments) {
    PyObject* self = arguments[0];
    PyObject* value = arguments[1];
    const int at_most_zero = compare(value, module_state.int_zero, Py_LE);
    if (at_most_zero < 0) {
        return fail(degree_name, source_line::degree_checks_low);
    }
    if (at_most_zero) {
        return Py_NewRef(module_state.float_zero);
    }
    const int at_least_one = compare(value, module_state.float_one, Py_GE);
    if (at_least_one < 0) {
        return fail(degree_name, source_line::degree_checks_high);
    }
    if (at_least_one) {
        return Py_NewRef(module_state.float_one);
    }
    Ref a = read_a(self);
    if (!a) {
        return fail(degree_name, source_line::degree_checks_knee);
    }
    const int on_first_segment = compare(value, a.get(), Py_LE);
    if (on_first_segment < 0) {
        return fail(degree_name, source_line::degree_checks_knee);
    }
    a.reset();
    const Operand operand = Operand::wrap(Ref::borrow(value));
    if (on_first_segment) {
        return result_or_fail(degree_on_first_segment(self, operand), degree_name,
                              source_line::degree_on_first_segment);
    }
    return result_or_fail(degree_on_second_segment(self, operand), degree_name,
                          source_line::degree_on_second_segment);
}

// ---- compute_name ------------------------------------------------------------------

constexpr const char compute_name_name[] = LCC_METHOD_NAME("compute_name");

// linear(k1, k2, a, b). An exact float's text is its repr, kept as ASCII bytes until
// the join.
Ref concept_name(PyObject* self) {
    constexpr Const read_order[] = {Const::k1, Const::k2, Const::a, Const::b};
    Ref texts[4];
    FloatRepr reprs[4];
    TextPiece value_pieces[4];
    constexpr Py_ssize_t literal_length =
        ascii_length({Const::linear_open, Const::comma, Const::comma, Const::comma, Const::close_paren});
    Py_ssize_t length = literal_length;
    Py_UCS4 bound = 0x7F;
    for (int i = 0; i < 4; ++i) {
        Ref value = read_attribute(self, read_order[i]);
        if (!value) {
            return Ref();
        }
        if (PyFloat_CheckExact(value.get())) {
            reprs[i].make(PyFloat_AS_DOUBLE(value.get()));
            value_pieces[i] = reprs[i].piece();
            length += value_pieces[i].length;
            continue;
        }
        texts[i] = value_text(value.get());
        if (!texts[i]) {
            return Ref();
        }
        value_pieces[i] = {texts[i].get(), nullptr, 0};
        length += PyUnicode_GET_LENGTH(texts[i].get());
        bound |= kind_char_bound(texts[i].get());
    }
    const TextPiece comma = {constant(Const::comma), nullptr, 0};
    const TextPiece pieces[] = {{constant(Const::linear_open), nullptr, 0}, value_pieces[0], comma,
                                value_pieces[1], comma, value_pieces[2], comma, value_pieces[3],
                                {constant(Const::close_paren), nullptr, 0}};
    return join_text_pieces(pieces, 9, length, bound);
}

PyObject* compute_name_body(PyObject*, PyObject* const* arguments) {
    return result_or_fail(concept_name(arguments[0]), compute_name_name, source_line::compute_name_formats);
}

// ---- __hash__ ----------------------------------------------------------------------

constexpr const char hash_name[] = LCC_METHOD_NAME("__hash__");

// hash((name, k1, k2, a, b, hash(type))), computed as the tuple would be, without
// making the tuple or the int.
PyObject* hash_body(PyObject*, PyObject* const* arguments) {
    constexpr Const read_order[] = {Const::name, Const::k1, Const::k2, Const::a, Const::b, Const::type};
    Ref values[6];
    for (int i = 0; i < 6; ++i) {
        values[i] = read_attribute(arguments[0], read_order[i]);
        if (!values[i]) {
            return fail(hash_name, source_line::hash_reads_values);
        }
    }
    const Py_hash_t type_hash = PyObject_Hash(values[5].get());
    if (type_hash == -1) {
        return fail(hash_name, source_line::hash_reads_values);
    }
    TupleHash items;
    for (int i = 0; i < 5; ++i) {
        if (items.add(values[i].get()) < 0) {
            return fail(hash_name, source_line::hash_combines);
        }
    }
    items.add_hash(int_hash(type_hash));
    return result_or_fail(Ref::steal(PyLong_FromSsize_t(items.finish())), hash_name, source_line::hash_combines);
}

// ---- fuzzy operators ---------------------------------------------------------------

// OperatorConcept.<operation>(self[, value]) through the call site's own cache.
Ref apply_operator(GlobalLookupCache& cache, ClassAttributeCache& operation_cache, Const operation,
                   PyObject* const* operands, Py_ssize_t count) {
    Ref operators = lookup_module_global(constant(Const::OperatorConcept), cache);
    if (!operators) {
        return Ref();
    }
    Ref method = get_class_attribute(operators.get(), constant(operation), operation_cache);
    if (!method) {
        return Ref();
    }
    operators.reset();
    PyObject* vector[3] = {nullptr, operands[0], count > 1 ? operands[1] : nullptr};
    return call_unpacking_method(std::move(method), vector, count);
}

constexpr const char neg_name[] = LCC_METHOD_NAME("__neg__");
constexpr const char and_name[] = LCC_METHOD_NAME("__and__");
constexpr const char or_name[] = LCC_METHOD_NAME("__or__");

PyObject* neg_body(PyObject*, PyObject* const* arguments) {
    return result_or_fail(
        apply_operator(caches().neg_operator, module_state.neg_operation, Const::not_, arguments, 1),
        neg_name, source_line::neg_applies_not);
}

PyObject* and_body(PyObject*, PyObject* const* arguments) {
    return result_or_fail(
        apply_operator(caches().and_operator, module_state.and_operation, Const::and_, arguments, 2),
        and_name, source_line::and_applies_and);
}

PyObject* or_body(PyObject*, PyObject* const* arguments) {
    return result_or_fail(
        apply_operator(caches().or_operator, module_state.or_operation, Const::or_, arguments, 2),
        or_name, source_line::or_applies_or);
}

// ---- the method table ----------------------------------------------------------------

constexpr PyObject** slot_of(Const name) {
    return &module_state.constants[static_cast<int>(name)];
}

constexpr PyObject** self_only[] = {slot_of(Const::self), nullptr};
constexpr PyObject** self_value[] = {slot_of(Const::self), slot_of(Const::value), nullptr};
constexpr PyObject** init_parameters[] = {slot_of(Const::self), slot_of(Const::name), slot_of(Const::k1),
                                          slot_of(Const::k2),   slot_of(Const::a),    slot_of(Const::b),
                                          nullptr};

// A method's binding facts from its dotted name, whose tail is its short name. The count
// comes from the array's size: comparing a slot's address with null is not a constant
// expression for every compiler (GCC under -fsanitize=undefined refuses it).
template <size_t size>
constexpr MethodSignature signature(const char* traceback_name, PyObject** const (&parameters)[size],
                                    int definition_line) {
    constexpr size_t prefix_length = sizeof LCC_METHOD_NAME("") - 1;
    constexpr auto count = static_cast<Py_ssize_t>(size - 1);  // the null terminator
    return {traceback_name + prefix_length, parameters, count, definition_line, traceback_name};
}

constexpr Const str_text = Const::str_text;
constexpr Const float_text = Const::float_text;
constexpr Const self_type = Const::typing_self;
constexpr Const none_text = Const::None_text;
constexpr auto no_cache = nullptr;

using enum MethodRole;
using enum CodeIndex;

// In class-body order. Per row: index, signature, role, name, qualified name, parameter
// annotations, result annotation, location table, decorator cache, body.
constexpr MethodRecord method_table[] = {
    {init, signature(init_name, init_parameters, definition_line::init), constructor, Const::dunder_init,
     Const::qualname_init, {str_text, float_text, float_text, float_text, float_text}, none_text,
     Const::lines_init, no_cache, init_body},
    {getter_a, signature(a_name, self_only, definition_line::getter_a), property_getter, Const::a,
     Const::qualname_a, {}, float_text, Const::lines_getter, no_cache, getter_a_body},
    {setter_a, signature(a_name, self_value, definition_line::setter_a), property_setter, Const::a,
     Const::qualname_a, {float_text}, none_text, Const::lines_setter, &GlobalLookupCaches::class_setter_a,
     setter_a_body},
    {getter_b, signature(b_name, self_only, definition_line::getter_b), property_getter, Const::b,
     Const::qualname_b, {}, float_text, Const::lines_getter, no_cache, getter_b_body},
    {setter_b, signature(b_name, self_value, definition_line::setter_b), property_setter, Const::b,
     Const::qualname_b, {float_text}, none_text, Const::lines_setter, &GlobalLookupCaches::class_setter_b,
     setter_b_body},
    {clone, signature(clone_name, self_only, definition_line::clone), method, Const::clone,
     Const::qualname_clone, {}, self_type, Const::lines_clone, no_cache, clone_body},
    {get_membership_degree, signature(degree_name, self_value, definition_line::get_membership_degree),
     method, Const::get_membership_degree, Const::qualname_get_membership_degree, {float_text}, float_text,
     Const::lines_get_membership_degree, no_cache, get_membership_degree_body},
    {compute_name, signature(compute_name_name, self_only, definition_line::compute_name), method,
     Const::compute_name, Const::qualname_compute_name, {}, str_text, Const::lines_compute_name, no_cache,
     compute_name_body},
    {neg, signature(neg_name, self_only, definition_line::neg), method, Const::dunder_neg,
     Const::qualname_neg, {}, Const::FuzzyConcreteConcept, Const::lines_neg, no_cache, neg_body},
    {and_, signature(and_name, self_value, definition_line::and_), method, Const::dunder_and,
     Const::qualname_and, {self_type}, self_type, Const::lines_and, no_cache, and_body},
    {or_, signature(or_name, self_value, definition_line::or_), method, Const::dunder_or,
     Const::qualname_or, {self_type}, self_type, Const::lines_or, no_cache, or_body},
    {hash, signature(hash_name, self_only, definition_line::hash), method, Const::dunder_hash,
     Const::qualname_hash, {}, Const::int_text, Const::lines_hash, no_cache, hash_body},
};

constexpr int method_count = static_cast<int>(CodeIndex::count);

constexpr bool rows_in_index_order() {
    if (sizeof method_table / sizeof method_table[0] != static_cast<size_t>(method_count)) {
        return false;
    }
    for (int i = 0; i < method_count; ++i) {
        if (method_table[i].index != static_cast<CodeIndex>(i)) {
            return false;
        }
    }
    return true;
}
static_assert(rows_in_index_order());

// Binds the arguments of a call that does not pass exactly the parameters by position,
// then runs the body. Kept out of line, so that the direct call needs no frame.
template <CodeIndex index>
[[gnu::noinline]] PyObject* bind_and_run(PyObject* function, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* keyword_names) {
    constexpr const MethodRecord& record = method_table[static_cast<int>(index)];
    BoundArguments<record.signature.parameter_count> bound;
    if (bind_arguments_general(record.signature, args, nargs, keyword_names, bound.slots) < 0) {
        return nullptr;
    }
    return record.body(function, bound.slots);
}

// The native function of every method.
template <CodeIndex index>
PyObject* method_wrapper(PyObject* function, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* keyword_names) {
    constexpr const MethodRecord& record = method_table[static_cast<int>(index)];
    // All arguments in place: the caller's vector holds them for the length of the call.
    if ((keyword_names == nullptr || PyTuple_GET_SIZE(keyword_names) == 0) &&
        nargs == record.signature.parameter_count) {
        return record.body(function, args);
    }
    return bind_and_run<index>(function, args, nargs, keyword_names);
}

template <size_t... indices>
std::array<PyMethodDef, sizeof...(indices)> definitions(std::index_sequence<indices...>) {
    return {{{method_table[indices].signature.short_name,
              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                  method_wrapper<static_cast<CodeIndex>(indices)>)),
              METH_FASTCALL | METH_KEYWORDS, nullptr}...}};
}

std::array<PyMethodDef, method_count> method_definitions =
    definitions(std::make_index_sequence<method_count>());

}  // namespace

const MethodRecord& method_record(CodeIndex index) {
    return method_table[static_cast<int>(index)];
}

PyMethodDef* method_definition(CodeIndex index) {
    return &method_definitions[static_cast<int>(index)];
}
