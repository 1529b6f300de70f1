"""The Python-visible surface of vorpel_rs: exports, class and method
docstrings, signatures, the missing constructor, argument binding (checked
against a pure-Python function with the same parameters) and PanicException."""
import copy
import inspect

import pytest

from helpers_h8 import *  # noqa: F401,F403 (names and fixtures)

EM = "\u2014"

SIGNATURES = [
    ("load", "load(trov_path)"),
    ("from_bytes", "from_bytes(trov_bytes)"),
    ("run", "run($self, query, tools_json)"),
    ("run_json", "run_json($self, query, tools_json)"),
    ("generate", "generate($self, query, tools_json, max_new_tokens=128, temperature=0.0, seed=0, "
                 "system=None, constrain=False)"),
    ("run_stream", "run_stream($self, query, tools_json, callback)"),
    ("run_batch", "run_batch($self, examples)"),
    ("encode_contrastive", "encode_contrastive($self, text)"),
    ("contrastive_dim", "contrastive_dim($self)"),
    ("confidence_for", "confidence_for($self, query, tools_json, completion)"),
    ("confidence", "confidence($self, text)"),
    ("confidence_probability", "confidence_probability($self, text)"),
    ("retrieve_tools", "retrieve_tools($self, query, tool_descriptions, top_k)"),
    ("config", "config($self)"),
]
STATIC = {"load", "from_bytes"}

DOCS = {
    "load": "Load a `.trov` model from disk.",
    "from_bytes": "Load a `.trov` model from an in-memory image.",
    "run": "Greedy tool call. Returns the full decoded text.",
    "run_json": "Just the `<tool_call>` payload, or None if the model emitted no call.",
    "generate": "Generation with explicit settings.\n\nReturns a dict: `text`, `tool_call`, `thinking`, "
                "`token_ids`,\n`prompt_tokens`, `stop_reason`.",
    "run_stream": "Streaming generation. `callback(token_id: int, piece: str)` per token.",
    "run_batch": "Run several queries in sequence, reusing one KV cache.",
    "encode_contrastive": "L2-normalised contrastive embedding, or None without such a head.",
    "contrastive_dim": "Width of the contrastive embedding (0 if absent).",
    "confidence_for": "Probability in (0, 1) that `completion` is the right answer for this\n"
                      "query, or None without a confidence head.\n\n"
                      "The confidence head scores a judgement already made, so it needs the\n"
                      f"completion: pass what `run()` returned. Gate on it {EM} act above a\n"
                      "threshold you pick, escalate below it.",
    "confidence": "Raw confidence logit for an arbitrary string, or None without the head.\n\n"
                  "The primitive. A bare query reads near zero however answerable it is,\n"
                  f"because the completion is what gets scored {EM} prefer `confidence_for`.",
    "confidence_probability": "`confidence()` as a probability in (0, 1).",
    "retrieve_tools": "Rank tool descriptions by cosine similarity to `query`.",
    "config": "Model geometry, as a dict.",
}


def test_module_exports_only_engine_classes_in_order():
    known = ["VorpelEngine", "V2Engine", "V3Engine"]
    assert "V2Engine" in vorpel_rs.__all__
    assert vorpel_rs.__all__ == [n for n in known if n in vorpel_rs.__all__]
    for name in vorpel_rs.__all__:
        assert isinstance(getattr(vorpel_rs, name), type)
    public = {n for n in dir(vorpel_rs) if not n.startswith("_")}
    assert public == set(vorpel_rs.__all__) | {"PanicException"}


def test_class_docstring_and_names():
    assert V2Engine.__doc__ == ("Vorpel v2. A `.trov` container carries its weights, geometry and "
                                "tokenizer,\nso `load` takes one path and there is no vocabulary argument.")
    assert V2Engine.__module__ == "vorpel_rs"
    assert V2Engine.__qualname__ == "V2Engine"


def test_no_constructor():
    with pytest.raises(TypeError) as e:
        V2Engine()
    assert str(e.value) == "cannot create 'vorpel_rs.V2Engine' instances"
    with pytest.raises(TypeError, match="cannot create 'vorpel_rs.V2Engine' instances"):
        V2Engine.__new__(V2Engine)
    with pytest.raises(TypeError):
        object.__new__(V2Engine)
    with pytest.raises(TypeError):
        type("Sub", (V2Engine,), {})


def test_instances_cannot_be_copied(engine):
    with pytest.raises(TypeError):
        copy.copy(engine)


def test_methods_in_table_order_with_text_signatures_and_docstrings():
    methods = [n for n in V2Engine.__dict__ if not n.startswith("__")]
    assert methods == [n for n, _ in SIGNATURES]
    for name, line in SIGNATURES:
        fn = getattr(V2Engine, name)
        raw = type(V2Engine.__dict__[name])
        assert (raw is staticmethod) == (name in STATIC), name
        assert fn.__text_signature__ == line[len(name):], name
        assert fn.__doc__ == DOCS[name], name
        sig = inspect.signature(fn)  # must parse
        params = [p for p in sig.parameters if p != "self"]
        assert params == [p.split("=")[0] for p in line[len(name) + 1:-1].split(", ")
                          if p and p != "$self"], name


def test_bound_methods_keep_signature_and_docstring(engine):
    # What help(engine.run) and editors read from the bound method itself.
    for name, line in SIGNATURES:
        bound = getattr(engine, name)
        assert bound.__doc__ == DOCS[name], name
        assert bound.__text_signature__ == line[len(name):], name
        params = list(inspect.signature(bound).parameters)
        assert params == [p.split("=")[0] for p in line[len(name) + 1:-1].split(", ")
                          if p and p != "$self"], name


def test_em_dash_is_stored_as_utf8():
    assert EM in V2Engine.confidence_for.__doc__
    assert "--" not in V2Engine.confidence.__doc__  # the separator line is not part of __doc__


def test_generate_defaults_in_signature():
    sig = inspect.signature(V2Engine.generate)
    defaults = {k: v.default for k, v in sig.parameters.items() if v.default is not inspect.Parameter.empty}
    assert defaults == {"max_new_tokens": 128, "temperature": 0.0, "seed": 0, "system": None,
                        "constrain": False}
    assert type(defaults["temperature"]) is float and type(defaults["max_new_tokens"]) is int


def _reference_class():
    """Pure-Python class with the same parameter lists: the interpreter's own
    binding rules and wording are the reference."""
    src = ["class V2Engine:"]
    for name, line in SIGNATURES:
        if name in STATIC:
            src.append("    @staticmethod")
        src.append(f"    def {line.replace('$self', 'self')}: pass")
    ns = {}
    exec("\n".join(src), ns)
    return ns["V2Engine"]


BAD_CALLS = [
    ((), {}),
    (("a",) * 9, {}),
    (("a", "b", "c", "d"), {}),
    (("a",), {"query": "b"}),
    ((), {"path": "x"}),
    (("a", "b"), {"bogus": 1}),
    ((), {"query": "q", "tools_json": "t", "text": "x", "extra": 2}),
    (("a",) * 5, {"tools_json": "t"}),
]


@pytest.mark.parametrize("name", [n for n, _ in SIGNATURES])
def test_binding_errors_match_the_interpreter(name, engine):
    ref = _reference_class()
    ref_fn = getattr(ref, name) if name in STATIC else getattr(ref(), name)
    fn = getattr(V2Engine, name) if name in STATIC else getattr(engine, name)
    for args, kwargs in BAD_CALLS:
        try:
            ref_fn(*args, **kwargs)
        except TypeError as e:
            expected = str(e)
        else:
            continue  # a valid call for this signature: not a binding case
        with pytest.raises(TypeError) as got:
            fn(*args, **kwargs)
        assert str(got.value) == expected, (name, args, kwargs)


def test_load_accepts_trov_path_keyword_only_by_its_name(tmp_path):
    missing = tmp_path / "missing.trov"
    with pytest.raises(OSError):
        V2Engine.load(trov_path=str(missing))
    with pytest.raises(TypeError, match="got an unexpected keyword argument 'path'"):
        V2Engine.load(path=str(missing))


def test_panic_exception_is_a_base_exception():
    P = vorpel_rs.PanicException
    assert P.__bases__ == (BaseException,)
    assert not issubclass(P, Exception)
    assert P.__module__ == "vorpel_rs" and P.__name__ == "PanicException"
