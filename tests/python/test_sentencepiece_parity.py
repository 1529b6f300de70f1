"""The embedded piece tokenizer against SentencePiece on small BPE models
trained here: the same ids for the same text when SentencePiece's normaliser
is the identity, decode round trips, and the normaliser as the only source of
difference with SentencePiece's default settings."""
import json
import pathlib
import subprocess

import pytest

spm = pytest.importorskip("sentencepiece")

from vorpel_writer import TrovWriter  # noqa: E402
from vorpel_writer.tokenizer import (KIND_BYTE, KIND_CONTROL, KIND_UNKNOWN,  # noqa: E402
                                     KIND_USER_DEFINED, build_tokenizer_blob, from_sentencepiece)

MARKERS = ["<|im_start|>", "<|im_end|>", "<tools>", "</tools>", "<tool_call>", "</tool_call>",
           "<think>", "</think>"]

# Written for this test: the text the models are trained on besides the
# licence texts, so that accented, CJK and emoji characters have pieces.
EXTRA = """Café crème brûlée à la façon de Noël. Über größere Straßen, naïve résumé.
El niño comió jamón y piña en España; ¿qué más? São Paulo, coração, ação.
中文分词测试，这是一个句子。今天天气很好，我们去公园散步吧。
日本語のテキストです。東京は大きな都市です。한국어 문장입니다. Привет, как дела?
Emoji 😀 🎉 👍 ok. Weather {"name": "get_weather", "arguments": {"city": "Paris", "unit": "c"}}
<|im_start|>user
What is the weather in Berlin?<|im_end|>
<|im_start|>assistant
<think>The user wants the weather.</think>
<tool_call>{"name": "get_weather", "arguments": {"city": "Berlin"}}</tool_call><|im_end|>
"""

SENTENCES = [
    "hello world",
    "The quick brown fox jumps over the lazy dog.",
    "Permission is hereby granted, free of charge, to any person obtaining a copy",
    "THIS SOFTWARE IS PROVIDED BY THE COPYRIGHT HOLDERS AND CONTRIBUTORS \"AS IS\"",
    "x",
    "a b c d e f g",
    "Café crème brûlée, naïve résumé à Noël",
    "Ελληνικά και русский текст",
    "中文分词测试，这是一个句子。",
    "日本語のテキストです",
    "emoji 😀🎉👍 and 🧪 unseen",
    "tabs\tand\nnewlines\r\nhere",
    "two  spaces   three    four",
    "  leading spaces",
    "trailing spaces   ",
    " ",
    "   ",
    "<tool_call>{\"name\": \"get_weather\", \"arguments\": {\"city\": \"Paris\"}}</tool_call>",
    "<|im_start|>user\nWhat is 2+2?<|im_end|>\n<|im_start|>assistant\n",
    "<think>let me think</think>answer",
    "<tools>[{\"name\": \"search\"}]</tools>",
    "markers glued<tool_call><tool_call>x</tool_call></tool_call>",
    "partial <tool_ca and <think without closing",
    "digits 0123456789 3.14159 1e-7 -42",
    "symbols ~!@#$%^&*()_+`-=[]{}|;':\",./<>?",
    "ＦＵＬＬ ｗｉｄｔｈ ① ﬁ ligature",
    "ÅÅ combining: e\u0301 vs é",
    "zero\u200bwidth and nbsp\u00a0here",
    "\u2581 literal marker \u2581\u2581",
]


def _corpus():
    parts = []
    for f in sorted(pathlib.Path("/usr/share/common-licenses").glob("*")):
        try:
            parts.append(f.read_text(encoding="utf-8"))
        except (OSError, UnicodeDecodeError):
            pass
    text = "\n".join(parts) + "\n" + EXTRA * 30
    return [line for line in text.splitlines() if line.strip()]


def _container(pieces, meta, path):
    w = TrovWriter(version=2)
    w.header(vocab=len(pieces), d_model=8, num_heads=1, num_kv_heads=1, num_layers=1,
             head_dim=8, max_seq_len=16, hada_n=8, mhc_lanes=1)
    w.add_bytes(build_tokenizer_blob(pieces, **meta))
    w.write(path)
    return path


class Model:
    def __init__(self, cli, model_file, trov):
        self.cli = cli
        self.sp = spm.SentencePieceProcessor(model_file=str(model_file))
        self.trov = trov

    def ids(self, text):
        out = subprocess.run([str(self.cli), "tokenize", str(self.trov), text],
                             capture_output=True, check=True)
        return json.loads(out.stdout)

    def text(self, ids):
        out = subprocess.run([str(self.cli), "detokenize", str(self.trov), *map(str, ids)],
                             capture_output=True, check=True)
        assert out.stdout.endswith(b"\n")
        return out.stdout[:-1].decode("utf-8")


@pytest.fixture(scope="session")
def models(tmp_path_factory, vorpel_cli):
    """name -> Model; "identity*" models have no text normalisation."""
    d = tmp_path_factory.mktemp("spm")
    corpus = d / "corpus.txt"
    corpus.write_text("\n".join(_corpus()), encoding="utf-8")
    configs = {
        "identity_fallback": dict(byte_fallback=True, normalization_rule_name="identity",
                                  remove_extra_whitespaces=False, vocab_size=1200),
        "identity_nofallback": dict(byte_fallback=False, normalization_rule_name="identity",
                                    remove_extra_whitespaces=False, vocab_size=800),
        "default": dict(byte_fallback=True, vocab_size=1000),
    }
    out = {}
    for name, cfg in configs.items():
        prefix = d / name
        spm.SentencePieceTrainer.train(input=str(corpus), model_prefix=str(prefix), model_type="bpe",
                                       character_coverage=1.0, user_defined_symbols=MARKERS,
                                       minloglevel=2, num_threads=1, **cfg)
        pieces, meta = from_sentencepiece(f"{prefix}.model")
        trov = _container(pieces, meta, d / f"{name}.trov")
        out[name] = Model(vorpel_cli, f"{prefix}.model", trov)
    return out


def test_importer_maps_kinds_and_ids(models):
    sp = models["identity_fallback"].sp
    pieces, meta = from_sentencepiece(sp.serialized_model_proto())
    assert len(pieces) == sp.get_piece_size()
    assert meta == dict(pad_id=sp.unk_id(), eos_id=sp.eos_id(), bos_id=sp.bos_id(),
                        unk_id=sp.unk_id(), add_dummy_prefix=True, byte_fallback=True)
    for i, p in enumerate(pieces):
        assert p.text == sp.id_to_piece(i)
        assert p.score == pytest.approx(sp.get_score(i), abs=0, rel=1e-7)
        assert (p.kind == KIND_BYTE) == sp.is_byte(i)
        assert (p.kind == KIND_CONTROL) == sp.is_control(i)
        assert (p.kind == KIND_UNKNOWN) == sp.is_unknown(i)
    assert [p.text for p in pieces if p.kind == KIND_USER_DEFINED] == MARKERS
    _, nofb = from_sentencepiece(models["identity_nofallback"].sp.serialized_model_proto())
    assert nofb["byte_fallback"] is False


def _collapse_unk(ids, unk):
    return [t for i, t in enumerate(ids) if not (t == unk and i > 0 and ids[i - 1] == unk)]


@pytest.mark.parametrize("name", ["identity_fallback", "identity_nofallback"])
def test_same_ids_as_sentencepiece_without_normalisation(models, name):
    m = models[name]
    unk = m.sp.unk_id()
    bad, unk_runs = [], 0
    for s in SENTENCES:
        ours, theirs = m.ids(s), m.sp.encode(s)
        if name == "identity_nofallback" and ours != theirs:
            # Without byte fallback we emit one unk per unknown character;
            # SentencePiece folds a run of unknown characters into one unk.
            unk_runs += 1
            ours = _collapse_unk(ours, unk)
        if ours != theirs:
            bad.append((s, ours, theirs))
    assert not bad, "\n".join(f"{s!r}: ours {a} sentencepiece {b}" for s, a, b in bad)
    if name == "identity_nofallback":
        assert unk_runs > 0  # the sentences do exercise runs of unknown characters


def test_corpus_lines_match(models):
    # Longer realistic lines, one CLI call for all of them via a text file each.
    m = models["identity_fallback"]
    lines = _corpus()[::97][:40]
    for line in lines:
        assert m.ids(line) == m.sp.encode(line), line


@pytest.mark.parametrize("name", ["identity_fallback", "identity_nofallback", "default"])
def test_decode_round_trip(models, name):
    m = models[name]
    for s in SENTENCES:
        ids = m.sp.encode(s)
        ours = m.text(ids)
        # SentencePiece renders unk as " \u2047 "; unknown-kind pieces produce no text here.
        assert ours == m.sp.decode([i for i in ids if i != m.sp.unk_id()]), s
        if name == "identity_fallback" and not s.startswith(" "):
            # Nothing is lost without normalisation, except one leading space
            # that the dummy prefix absorbs (and literal markers, read as spaces).
            assert ours == s.replace("\u2581", " ")


def test_default_normaliser_is_the_only_difference(models):
    """With SentencePiece's defaults (nmt_nfkc, whitespace folding) ids differ
    on some texts; encoding SentencePiece's normalised text gives its ids."""
    m = models["default"]
    differ = []
    for s in SENTENCES:
        expected = m.sp.encode(s)
        if m.ids(s) != expected:
            differ.append(s)
        norm = m.sp.normalize(s)  # marker-escaped, dummy prefix included
        plain = norm.replace("\u2581", " ")
        if plain.startswith(" "):
            plain = plain[1:]
        if plain:
            assert m.ids(plain) == expected, s
    # Whitespace runs and compatibility characters are folded by the normaliser.
    assert "two  spaces   three    four" in differ
    assert "ＦＵＬＬ ｗｉｄｔｈ ① ﬁ ligature" in differ
    assert "hello world" not in differ


def test_cli_errors(tmp_path, vorpel_cli):
    w = TrovWriter(version=2)
    w.header(vocab=4, d_model=8, num_heads=1, num_kv_heads=1, num_layers=1, head_dim=8,
             max_seq_len=16, hada_n=8, mhc_lanes=1)
    w.add_f32([1.0])
    w.write(tmp_path / "none.trov")
    r = subprocess.run([str(vorpel_cli), "tokenize", str(tmp_path / "none.trov"), "hi"],
                       capture_output=True, text=True)
    assert r.returncode == 2 and "no tokenizer" in r.stderr

    w.add_bytes(build_tokenizer_blob([("a", 0.0, 0)], eos_id=1, pad_id=0, bos_id=0, unk_id=0))
    w.write(tmp_path / "bad.trov")
    r = subprocess.run([str(vorpel_cli), "detokenize", str(tmp_path / "bad.trov"), "0"],
                       capture_output=True, text=True)
    assert r.returncode == 2 and r.stderr.strip() == "header eos=1 is outside the 1-piece table"

    r = subprocess.run([str(vorpel_cli), "detokenize", str(tmp_path / "bad.trov"), "x1"],
                       capture_output=True, text=True)
    assert r.returncode == 1
    r = subprocess.run([str(vorpel_cli), "tokenize", str(tmp_path / "missing.trov"), "hi"],
                       capture_output=True, text=True)
    assert r.returncode == 2 and "(os error 2)" in r.stderr


def test_v3_container_and_text_file(tmp_path, vorpel_cli):
    # Third generation: the first raw-bytes entry is the tokenizer, wherever it stands.
    pieces = [("<unk>", 0.0, KIND_UNKNOWN), ("\u2581", 0.0, 0), ("a", 0.0, 0), ("b", 0.0, 0),
              ("ab", 1.0, 0), ("\u2581ab", 2.0, 0)]
    w = TrovWriter(version=3)
    w.add_f32([0.0])
    w.add_bytes(build_tokenizer_blob(pieces, pad_id=0, eos_id=0, bos_id=0, unk_id=0,
                                     byte_fallback=False))
    w.add_bytes(b"not a tokenizer")
    w.write(tmp_path / "v3.trov")
    (tmp_path / "t.txt").write_bytes("ab ab\u00e9".encode())
    r = subprocess.run([str(vorpel_cli), "tokenize", str(tmp_path / "v3.trov"), "--text-file",
                        str(tmp_path / "t.txt"), "--repeat", "3"], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout) == [5, 5, 0]
    assert json.loads(r.stderr)["repeat"] == 3
    r = subprocess.run([str(vorpel_cli), "detokenize", str(tmp_path / "v3.trov"), "5", "5", "0"],
                       capture_output=True, text=True)
    assert r.stdout == "ab ab\n"


def test_blob_layout():
    import struct

    blob = build_tokenizer_blob([("a", 1.5, 0), (b"\xff", -2.0, 7), ("\u2581\u00e9", 0.0, KIND_USER_DEFINED)],
                                pad_id=2, eos_id=1, bos_id=0, unk_id=2, add_dummy_prefix=False,
                                byte_fallback=True)
    expected = (struct.pack("<IIIII", 3, 2, 1, 0, 2) + bytes([0, 1, 0, 0])
                + struct.pack("<f", 1.5) + bytes([0, 1, 0]) + b"a"
                + struct.pack("<f", -2.0) + bytes([7, 1, 0]) + b"\xff"
                + struct.pack("<f", 0.0) + bytes([3, 5, 0]) + "\u2581\u00e9".encode())
    assert blob == expected
    with pytest.raises(ValueError):
        build_tokenizer_blob([("x" * 65536, 0.0, 0)])
    with pytest.raises(ValueError):
        build_tokenizer_blob([("x", 0.0, 256)])
    with pytest.raises(ValueError):
        build_tokenizer_blob([("x", 0.0, 0)], pad_id=-1)
