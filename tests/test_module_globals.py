"""Module globals read through per-site caches: every collaborator the methods name
(Util, OperatorConcept, LinearConcreteConcept) follows rebinding, deletion and the
builtins at the next use, and a stand-in removed during its own call stays alive."""

from __future__ import annotations

import builtins
import gc
import types

import pytest

from concept_doubles import make, module, operator_spy
from conftest import step_line
from traceback_entries import module_entries, module_entry


def _util_site(which):
    def make_spy(tag, log):
        class Spy:
            @staticmethod
            def error(message):
                log.append((tag, message))
        return Spy

    def trigger(concept):
        if which == "k1":
            make(k1=5, a=2)
        else:
            make(b=3)

    return "Util", make_spy, trigger, step_line("init_reports_k1") if which == "k1" else step_line("init_reports_b")


def _operator_site(symbol):
    def make_spy(tag, log):
        def record(*args):
            log.append((tag, args))
            return tag
        return types.SimpleNamespace(not_=record, and_=record, or_=record)

    triggers = {"-": lambda c: -c, "&": lambda c: c & c, "|": lambda c: c | c}
    steps = {"-": "neg_applies_not", "&": "and_applies_and", "|": "or_applies_or"}
    return "OperatorConcept", make_spy, triggers[symbol], step_line(steps[symbol])


def _clone_site():
    def make_spy(tag, log):
        def record(*args):
            log.append((tag, args))
            return tag
        return record

    return "LinearConcreteConcept", make_spy, lambda c: c.clone(), step_line("clone_constructs")


SITES = {
    "init-util-k1": _util_site("k1"),
    "init-util-b": _util_site("b"),
    "neg": _operator_site("-"),
    "and": _operator_site("&"),
    "or": _operator_site("|"),
    "clone": _clone_site(),
}


@pytest.fixture(params=sorted(SITES))
def site(request):
    return SITES[request.param]


class TestGlobalLookups:
    def test_rebinding_takes_effect_at_the_next_call(self, monkeypatch, site):
        name, make_spy, trigger, _ = site
        log = []
        concept = make()
        for tag in ("first", "second", "third"):
            monkeypatch.setattr(module, name, make_spy(tag, log))
            trigger(concept)
            trigger(concept)
            assert [entry_tag for entry_tag, _ in log] == [tag, tag]
            log.clear()

    def test_deleting_then_binding_again(self, monkeypatch, site):
        name, make_spy, trigger, line = site
        log = []
        concept = make()
        monkeypatch.setattr(module, name, make_spy("before", log))
        trigger(concept)
        monkeypatch.delattr(module, name)
        for _ in range(2):
            with pytest.raises(NameError, match=rf"^name '{name}' is not defined$") as info:
                trigger(concept)
            assert module_entries(info.value)[0][1] == line
        monkeypatch.setattr(module, name, make_spy("after", log), raising=False)
        trigger(concept)
        assert [tag for tag, _ in log] == ["before", "after"]

    def test_builtin_fallback(self, monkeypatch, site):
        name, make_spy, trigger, _ = site
        log = []
        concept = make()
        monkeypatch.delattr(module, name)
        monkeypatch.setattr(builtins, name, make_spy("builtin", log), raising=False)
        trigger(concept)
        monkeypatch.setattr(module, name, make_spy("global", log), raising=False)
        trigger(concept)
        monkeypatch.delattr(module, name)
        trigger(concept)
        assert [tag for tag, _ in log] == ["builtin", "global", "builtin"]

    def test_builtin_added_after_a_miss(self, monkeypatch, site):
        # The module dictionary does not change here: a remembered absence must still
        # send the lookup to the builtins each time.
        name, make_spy, trigger, line = site
        log = []
        concept = make()
        monkeypatch.delattr(module, name)
        with pytest.raises(NameError):
            trigger(concept)
        monkeypatch.setattr(builtins, name, make_spy("builtin", log), raising=False)
        trigger(concept)
        monkeypatch.setattr(builtins, name, make_spy("other builtin", log))
        trigger(concept)
        monkeypatch.delattr(builtins, name)
        with pytest.raises(NameError) as info:
            trigger(concept)
        assert module_entries(info.value)[0][1] == line
        assert [tag for tag, _ in log] == ["builtin", "other builtin"]

    def test_builtins_read_error_passes_through(self, monkeypatch, site):
        name, _, trigger, line = site
        concept = make()

        def missing(attribute):
            if attribute == name:
                raise LookupError(f"cannot read {attribute}")
            raise AttributeError(attribute)

        monkeypatch.delattr(module, name)
        monkeypatch.setattr(builtins, "__getattr__", missing, raising=False)
        with pytest.raises(LookupError, match=f"cannot read {name}") as info:
            trigger(concept)
        assert module_entries(info.value)[0][1] == line

    def test_unrelated_change_keeps_the_binding(self, monkeypatch, site):
        name, make_spy, trigger, _ = site
        log = []
        concept = make()
        monkeypatch.setattr(module, name, make_spy("kept", log))
        trigger(concept)
        for index in range(3):
            monkeypatch.setattr(module, f"_unrelated_{index}", index, raising=False)
            trigger(concept)
        assert [tag for tag, _ in log] == ["kept"] * 4

    def test_old_object_freed_after_rebinding(self, monkeypatch, site):
        # The caches hold no reference: a freed object's address may be reused.
        name, make_spy, trigger, _ = site
        log = []
        concept = make()
        for index in range(20):
            monkeypatch.setattr(module, name, make_spy(index, log))
            trigger(concept)
            gc.collect()
        assert [tag for tag, _ in log] == list(range(20))

    def test_both_util_sites_see_a_rebinding(self, monkeypatch):
        log = []

        def spy(tag):
            return types.SimpleNamespace(error=lambda message: log.append((tag, message[32:])))

        monkeypatch.setattr(module, "Util", spy("A"))
        make(k1=5, a=2)  # warms the first site only
        monkeypatch.setattr(module, "Util", spy("B"))
        make(b=3)  # the second site, first use
        make(k1=5, a=2)  # the first site, after the rebinding
        monkeypatch.setattr(module, "Util", spy("C"))
        make(k1=5, a=2, b=3)
        assert log == [("A", "5 <= 2"), ("B", "3 <= 1.0"), ("B", "5 <= 2"), ("C", "5 <= 2"), ("C", "3 <= 1.0")]

    def test_operator_sites_see_a_rebinding(self, monkeypatch):
        log = []
        concept = make()
        monkeypatch.setattr(module, "OperatorConcept", operator_spy(log))
        -concept
        spy = operator_spy(log)
        monkeypatch.setattr(module, "OperatorConcept", spy)
        concept & concept
        concept | concept
        -concept
        assert [name for name, _, _ in log] == ["not_", "and_", "or_", "not_"]

    def test_report_rebinding_util_redirects_the_next_report(self, monkeypatch):
        log = []

        def second(message):
            log.append(("second", message[32:]))

        def first(message):
            log.append(("first", message[32:]))
            setattr(module, "Util", types.SimpleNamespace(error=second))

        monkeypatch.setattr(module, "Util", types.SimpleNamespace(error=first))
        make(k1=5, a=2, b=3)
        assert log == [("first", "5 <= 2"), ("second", "3 <= 1.0")]

    def test_report_deleting_util_fails_the_next_lookup(self, monkeypatch):
        def vanish(message):
            delattr(module, "Util")
            gc.collect()

        monkeypatch.setattr(module, "Util", type("Once", (), {"error": staticmethod(vanish)}))
        with pytest.raises(NameError, match="^name 'Util' is not defined$") as info:
            make(k1=5, a=2, b=3)
        assert module_entry(info.value) == ("__init__", step_line("init_reports_b"))

    @pytest.mark.parametrize("call", [lambda c: -c, lambda c: c & 1, lambda c: c | 1])
    def test_collaborator_removed_during_its_own_call(self, monkeypatch, call):
        # The only references to the stand-in and its bound method are the module's;
        # the call must keep them alive itself.
        log = []

        class Operators:
            def connective(self, *args):
                delattr(module, "OperatorConcept")
                gc.collect()
                log.append((type(self).__name__, args))
                return "done"

            not_ = and_ = or_ = connective

        monkeypatch.setattr(module, "OperatorConcept", Operators())
        concept = make()
        assert call(concept) == "done"
        assert len(log) == 1 and log[0][0] == "Operators" and log[0][1][0] is concept
        with pytest.raises(NameError):
            call(concept)

    def test_class_global_removed_during_clone(self, monkeypatch):
        log = []

        class Factory:
            def make(self, *args):
                delattr(module, "LinearConcreteConcept")
                gc.collect()
                log.append((type(self).__name__, args))
                return "copy"

        monkeypatch.setattr(module, "LinearConcreteConcept", Factory().make)
        assert make(name="n").clone() == "copy"
        assert log == [("Factory", ("n", 0.0, 10.0, 0.5, 0.25))]

    def test_clone_reports_through_the_current_util(self, monkeypatch):
        log = []
        concept = make()
        concept.k1 = 0.75
        monkeypatch.setattr(module, "Util", types.SimpleNamespace(error=log.append))
        concept.clone()
        monkeypatch.delattr(module, "Util")
        with pytest.raises(NameError, match="'Util'"):
            concept.clone()
        assert log == ["Error: Linear functions require 0.75 <= 0.5"]
