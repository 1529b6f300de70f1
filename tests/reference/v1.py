"""Plain numpy model of the first-generation encoder-decoder, used to check the engine.

Own safetensors reader, vocabulary tokenizer, tool-call constraint and forward pass; nothing is
shared with the writer or the C++ code.  Weights are the float32 values the file represents
(4-bit codes times their scales); accumulations are float64, one token and one head at a time.
"""
from __future__ import annotations

import json
import math
import re
import struct
import unicodedata
from dataclasses import dataclass, field

import numpy as np

EPS = 1e-6
MARK = "\u2581"
START_ID, FALLBACK_ID, PREFIX_ID, SEP_ID = 1, 3, 4, 5
MASK_BIAS = np.float32(-1e9)

# Unicode White_Space: what trimming and run-collapsing treat as space.
WHITE = frozenset([chr(c) for c in range(0x09, 0x0E)] + [" ", "\u0085", "\u00a0", "\u1680"]
                  + [chr(c) for c in range(0x2000, 0x200B)]
                  + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"])
JSON_WS = b" \t\n\r\x0c"


def strip_white(s: str) -> str:
    i, j = 0, len(s)
    while i < j and s[i] in WHITE:
        i += 1
    while j > i and s[j - 1] in WHITE:
        j -= 1
    return s[i:j]


_F32_TEXT = re.compile(r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|inf|infinity|nan)",
                       re.IGNORECASE)


def parse_f32(text: str) -> np.float32 | None:
    """Decimal float text as a 32-bit float, or None; no surrounding space, no underscores."""
    if not _F32_TEXT.fullmatch(text):
        return None
    with np.errstate(over="ignore"):
        return np.float32(float(text))


def parse_u64(text: str | None) -> int | None:
    if text is None or not re.fullmatch(r"\+?[0-9]+", text):
        return None
    v = int(text)
    return v if v < 1 << 64 else None


def f32_total_key(values) -> np.ndarray:
    """Unsigned keys whose order is the IEEE total order of the float32 values."""
    bits = np.atleast_1d(np.asarray(values, dtype=np.float32)).view(np.uint32).astype(np.uint64)
    return np.where(bits >> 31, bits ^ 0xFFFFFFFF, bits | 0x80000000)


def greedy_choice(logits) -> int:
    """Largest logit under the float32 total order; among equal maxima the highest id."""
    keys = f32_total_key(logits)
    return int(len(keys) - 1 - np.argmax(keys[::-1]))


# ---------------------------------------------------------------- safetensors

def bf16_to_f32(u16) -> np.ndarray:
    return (np.asarray(u16, dtype=np.uint32) << 16).astype(np.uint32).view(np.float32)


def f16_to_f32(u16) -> np.ndarray:
    """Half-to-single widening written out field by field."""
    h = np.asarray(u16, dtype=np.uint32)
    sign, exp, man = h >> 15, (h >> 10) & 31, h & 1023
    normal = ((sign << 31) | ((exp + 112) << 23) | (man << 13)).astype(np.uint32).view(np.float32)
    special = ((sign << 31) | (0xFF << 23) | (man << 13)).astype(np.uint32).view(np.float32)
    sub = np.where(sign == 1, -1.0, 1.0) * man.astype(np.float64) * 2.0 ** -24
    return np.where(exp == 31, special, np.where(exp == 0, sub.astype(np.float32), normal))


def unpack_i4(raw: bytes) -> np.ndarray:
    """Two signed nibbles per byte, low nibble first."""
    b = np.frombuffer(raw, dtype=np.uint8)
    low = ((b & 15).astype(np.int16) ^ 8) - 8
    high = b.view(np.int8).astype(np.int16) >> 4
    return np.stack([low, high], axis=1).reshape(-1).astype(np.int8)


@dataclass
class TensorInfo:
    dtype: str
    shape: tuple
    begin: int
    end: int


class SafeTensors:
    DTYPES = ("F32", "BF16", "F16", "I8", "I4")

    def __init__(self, buf: bytes):
        self.log: list[str] = []
        if len(buf) <= 7:
            raise ValueError("buffer too short")
        n = struct.unpack_from("<Q", buf)[0]
        if len(buf) < n + 8:
            raise ValueError("truncated header")
        try:
            text = bytes(buf[8:8 + n]).decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError("invalid UTF-8 header") from None
        text = strip_white(text)
        if not (text.startswith("{") and text.endswith("}")):
            raise ValueError("expected JSON object")
        # Numbers and constants stay as their raw text, as metadata values are text.
        header = json.loads(text, parse_float=str, parse_int=str, parse_constant=str)
        self.tensors: dict[str, TensorInfo] = {}
        self.metadata: dict[str, str] = {}
        for name, value in header.items():
            if name == "__metadata__":
                if isinstance(value, dict):
                    self.metadata = {k: self._text(v) for k, v in value.items()}
                continue
            if not isinstance(value, dict) or not isinstance(value.get("dtype"), str):
                raise ValueError(f"missing dtype for {name}")
            shape = self._unsigned_list(value.get("shape"))
            if shape is None:
                raise ValueError(f"missing shape for {name}")
            offsets = self._unsigned_list(value.get("data_offsets"))
            if offsets is None:
                raise ValueError(f"missing data_offsets for {name}")
            if len(offsets) != 2:
                raise ValueError("data_offsets must have 2 elements")
            if value["dtype"] not in self.DTYPES:
                raise ValueError(f"unknown dtype {value['dtype']}")
            self.tensors[name] = TensorInfo(value["dtype"], tuple(shape), offsets[0], offsets[1])
        self.data = bytes(buf[8 + n:])

    @staticmethod
    def _text(v) -> str:
        if isinstance(v, str):
            return v
        if isinstance(v, bool) or v is None:
            return {True: "true", False: "false", None: "null"}[v]
        return json.dumps(v, separators=(",", ":"))

    @staticmethod
    def _unsigned_list(v):
        if not isinstance(v, list):
            return None
        out = [parse_u64(x) if isinstance(x, str) else None for x in v]
        return None if any(x is None for x in out) else out

    def __contains__(self, name: str) -> bool:
        return name in self.tensors

    def raw(self, name: str) -> bytes:
        t = self.tensors[name]
        if not t.begin <= t.end <= len(self.data):
            raise ValueError(f"tensor {name} byte range outside the data")
        return self.data[t.begin:t.end]

    def get_f32(self, name: str) -> np.ndarray | None:
        if name not in self.tensors:
            return None
        t, raw = self.tensors[name], self.raw(name)
        if t.dtype == "F32":
            return np.frombuffer(raw[:len(raw) // 4 * 4], dtype="<f4").astype(np.float32)
        if t.dtype in ("BF16", "F16"):
            u16 = np.frombuffer(raw[:len(raw) // 2 * 2], dtype="<u2")
            return bf16_to_f32(u16) if t.dtype == "BF16" else f16_to_f32(u16)
        if t.dtype == "I8":
            return np.frombuffer(raw, dtype=np.int8).astype(np.float32)
        vol = math.prod(t.shape)
        if vol != 2 * len(raw):
            shape = "[" + ", ".join(str(d) for d in t.shape) + "]"
            self.log.append(f"[vorpel] I4 tensor shape mismatch: bytes*2={2 * len(raw)} but "
                            f"shape={shape} (vol={vol}); returning empty")
            return None
        return unpack_i4(raw).astype(np.float32)


# ---------------------------------------------------------------- vocabulary

def byte_piece(b: int) -> str:
    return f"<0x{b:02X}>"


class Vocab:
    def __init__(self, text: str):
        lines = text.split("\n")
        ended = lines[-1] == ""
        if ended:
            lines.pop()
        self.pieces: list[str] = []
        self.ids: dict[str, int] = {}
        scores, has_scores = [], False
        for k, line in enumerate(lines):
            if (ended or k < len(lines) - 1) and line.endswith("\r"):
                line = line[:-1]  # only a CR followed by LF ends a line
            score = np.float32(0.0)
            if "\t" in line:
                line, rest = line.split("\t", 1)
                has_scores = True
                parsed = parse_f32(strip_white(rest))
                score = parsed if parsed is not None else np.float32(0.0)
            self.ids[line] = len(self.pieces)
            self.pieces.append(line)
            scores.append(score)
        self.scores = np.array(scores, dtype=np.float32) if has_scores else np.zeros(0, np.float32)
        self.max_piece_len = max((len(p.encode()) for p in self.pieces), default=0)

    def __len__(self) -> int:
        return len(self.pieces)

    @staticmethod
    def normalise(text: str) -> str:
        text = strip_white(text)
        if not text:
            return ""
        out, in_run = [MARK], False
        for ch in text:
            if ch in WHITE:
                if not in_run:
                    out.append(MARK)
                in_run = True
            else:
                out.append(ch)
                in_run = False
        return "".join(out)

    def _byte_id(self, b: int) -> int:
        return self.ids.get(byte_piece(b), FALLBACK_ID)

    def encode(self, text: str) -> list[int]:
        norm = self.normalise(text)
        if not norm:
            return []
        return self._merge(norm) if len(self.scores) else self._greedy(norm.encode())

    def _merge(self, norm: str) -> list[int]:
        syms = []
        for ch in norm:
            if ch in self.ids:
                syms.append((ch, self.ids[ch]))
            else:
                syms += [(byte_piece(b), self._byte_id(b)) for b in ch.encode()]
        while len(syms) >= 2:
            best, at, best_id = -math.inf, None, None
            for i in range(len(syms) - 1):
                k = self.ids.get(syms[i][0] + syms[i + 1][0])
                if k is not None and self.scores[k] > best:  # strict: leftmost wins ties
                    best, at, best_id = float(self.scores[k]), i, k
            if at is None:
                break
            syms[at:at + 2] = [(syms[at][0] + syms[at + 1][0], best_id)]
        return [k for _, k in syms]

    def _greedy(self, b: bytes) -> list[int]:
        def boundary(p):
            return p >= len(b) or b[p] & 0xC0 != 0x80

        out, i = [], 0
        while i < len(b):
            e = min(i + self.max_piece_len, len(b))
            while e > i and not boundary(e):
                e -= 1
            while e > i:
                try:
                    piece = b[i:e].decode("utf-8")
                except UnicodeDecodeError:
                    piece = None
                if piece is not None and piece in self.ids:
                    out.append(self.ids[piece])
                    break
                e -= 1
                while e > i and not boundary(e):
                    e -= 1
            if e > i:
                i = e
            else:
                out.append(self._byte_id(b[i]))
                i += 1
        return out

    def piece_text(self, i: int) -> str:
        return self.pieces[i].replace(MARK, " ") if 0 <= i < len(self.pieces) else ""

    def decode(self, ids) -> str:
        text = "".join(self.piece_text(i) for i in ids if 0 <= i < len(self.pieces))
        k = 0
        while k < len(text) and text[k] in WHITE:
            k += 1
        return text[k:]


# ---------------------------------------------------------------- tool-call constraint

def _word(ch: str) -> bool:
    if ch.isascii():
        return ch.isalnum()
    return ch.isalpha() or unicodedata.category(ch) in ("Nd", "Nl", "No")


def _digit(ch: str) -> bool:
    return ch.isdigit() if ch.isascii() else unicodedata.category(ch) in ("Nd", "Nl", "No")


def _upper(ch: str) -> bool:
    return ("A" <= ch <= "Z") if ch.isascii() else ch.isupper()


def normalise_tool_name(name: str) -> str:
    out: list[str] = []
    for i, ch in enumerate(name):
        last = out[-1] if out else ""
        if not _word(ch):
            if out and last != "_":
                out.append("_")
            continue
        if _upper(ch) and i > 0 and last != "_":
            prev = name[i - 1]
            nxt = name[i + 1] if i + 1 < len(name) else ""
            if prev.islower() or _digit(prev) or (_upper(prev) and nxt.islower()):
                out.append("_")
        out.append(ch.lower() if "A" <= ch <= "Z" else ch)
    return "".join(out).rstrip("_")


def _string_end(b: bytes, i: int) -> int:
    """Index of the unescaped closing quote at or after i, or -1."""
    while i < len(b):
        if b[i] == 0x5C:
            i += 2
            continue
        if b[i] == 0x22:
            return i
        i += 1
    return -1


def _balanced_end(b: bytes, i: int, opens=b"{[", closes=b"}]") -> int:
    """Index just past the bracket matching b[i] (strings respected), or -1."""
    depth, in_str, k = 0, False, i
    while k < len(b):
        c = b[k]
        if in_str:
            if c == 0x5C:
                k += 1
            elif c == 0x22:
                in_str = False
        elif c == 0x22:
            in_str = True
        elif c in opens:
            depth += 1
        elif c in closes:
            depth -= 1
            if depth == 0:
                return k + 1
        k += 1
    return -1


def _skip_ws(b: bytes, i: int) -> int:
    while i < len(b) and b[i] in JSON_WS:
        i += 1
    return i


def _member_keys(obj: bytes, objects_only: bool) -> list[str]:
    keys, i = [], 1
    while i < len(obj):
        c = obj[i]
        if c in JSON_WS or c == 0x2C:
            i += 1
            continue
        if c == 0x7D:
            break
        if c != 0x22:
            i += 1
            continue
        e = _string_end(obj, i + 1)
        if e < 0:
            break
        key = obj[i + 1:e].decode("utf-8", "replace")
        colon = obj.find(b":", e + 1)
        if colon < 0:
            break
        j = _skip_ws(obj, colon + 1)
        is_object = j < len(obj) and obj[j] == 0x7B
        if j < len(obj) and obj[j] == 0x22:
            end = _string_end(obj, j + 1)
            j = len(obj) if end < 0 else end + 1
        elif j < len(obj) and obj[j] in b"{[":
            end = _balanced_end(obj, j)
            j = len(obj) if end < 0 else end
        else:
            while j < len(obj) and obj[j] not in b",]}":
                j += 1
        if key and (is_object or not objects_only):
            keys.append(key)
        i = j
    return keys


@dataclass
class Tool:
    name: str
    norm: str
    keys: list


def _tool_from_object(obj: bytes) -> Tool | None:
    p = obj.find(b'"name":"')
    if p < 0:
        return None
    e = _string_end(obj, p + 8)
    if e < 0:
        return None
    name = obj[p + 8:e].decode("utf-8", "replace")
    keys: list[str] = []
    q = obj.find(b'"parameters":')
    if q >= 0:
        j = _skip_ws(obj, q + 13)
        end = _balanced_end(obj, j, b"{", b"}") if j < len(obj) and obj[j] == 0x7B else -1
        if end > 0:
            params = obj[j:end]
            r = params.find(b'"properties":')
            k = _skip_ws(params, r + 13) if r >= 0 else len(params)
            pend = _balanced_end(params, k, b"{", b"}") if k < len(params) and params[k] == 0x7B else -1
            keys = _member_keys(params[k:pend], False) if pend > 0 else _member_keys(params, True)
    return Tool(name, normalise_tool_name(name), keys)


def parse_tools(tools_json: str) -> list[Tool]:
    b = tools_json.encode("utf-8", "surrogatepass")
    starts = [k for k in (b.find(b"{"), b.find(b"[")) if k >= 0]
    if not starts:
        return []
    i = min(starts)
    if b[i] == 0x5B:
        i += 1
    tools = []
    while i < len(b):
        c = b[i]
        if c in JSON_WS or c == 0x2C:
            i += 1
        elif c == 0x5D:
            break
        elif c == 0x7B:
            end = _balanced_end(b, i, b"{", b"}")
            if end < 0:
                break  # an unclosed object ends the scan
            tool = _tool_from_object(b[i:end])
            if tool is not None:
                tools.append(tool)
            i = end
        else:
            i += 1
    return tools


class Trie:
    def __init__(self, words=()):
        self.children: list[dict[int, int]] = [{}]
        self.terminal: list[bool] = [False]
        for w in words:
            self.insert(w.encode("utf-8", "replace"))

    def insert(self, word: bytes):
        node = 0
        for c in word:
            if c not in self.children[node]:
                self.children[node][c] = len(self.children)
                self.children.append({})
                self.terminal.append(False)
            node = self.children[node][c]
        self.terminal[node] = True


class ToolConstraint:
    """Byte tracker over the generated JSON: biases tokens while a tool name or key is typed."""

    def __init__(self, tools: list[Tool], token_bytes: list[bytes]):
        self.names = Trie(t.norm for t in tools)
        self.key_tries = {t.norm: Trie(t.keys) for t in tools}  # later tools replace earlier
        self.token_bytes = token_bytes
        self.mode, self.buf, self.last_name = 0, b"", ""
        self.tail, self.depth = b"", 0
        self.in_args, self.args_depth = False, 0
        self.in_str, self.esc = False, False

    def feed(self, token_id: int):
        if 0 <= token_id < len(self.token_bytes):
            for c in self.token_bytes[token_id]:
                self._byte(c)

    def _byte(self, c: int):
        if self.mode:
            if c == 0x22:
                if self.mode == 1:
                    self.last_name = self.buf.decode("utf-8", "replace")
                self.mode, self.buf = 0, b""
            else:
                self.buf += bytes([c])
            return
        self.tail = (self.tail + bytes([c]))[-13:]
        if self.in_str:
            if self.esc:
                self.esc = False
            elif c == 0x22:
                self.in_str = False
            elif c == 0x5C:
                self.esc = True
            return
        if c == 0x5D:
            self.depth = max(self.depth - 1, 0)
            return
        if c == 0x7D:
            self.depth = max(self.depth - 1, 0)
            if self.in_args and self.depth < self.args_depth:
                self.in_args = False
            return
        if c in b"{[":
            self.depth += 1
        if len(self.tail) >= 8:
            if not self.in_args and self.tail.endswith(b'"name":"'):
                self.mode, self.buf = 1, b""
                return
            if self.tail.endswith(b'"arguments":{'):
                self.in_args, self.args_depth = True, self.depth
                return
            if self.in_args and self.depth == self.args_depth and c == 0x22 and self.tail[-2] in b"{,":
                self.mode, self.buf = 2, b""
                return
        if c == 0x22 and len(self.tail) >= 2 and self.tail[-2] == 0x3A:
            self.in_str = True

    def bias(self, n: int) -> np.ndarray:
        zeros = np.zeros(n, dtype=np.float32)
        trie = self.names if self.mode == 1 else self.key_tries.get(self.last_name) if self.mode == 2 else None
        if trie is None:
            return zeros
        node = 0
        for c in self.buf:
            node = trie.children[node].get(c)
            if node is None:
                return zeros
        out = np.full(n, MASK_BIAS, dtype=np.float32)
        for i in range(min(n, len(self.token_bytes))):
            at, ok = node, True
            for c in self.token_bytes[i]:
                if c == 0x22:
                    ok = trie.terminal[at]
                    break
                at = trie.children[at].get(c)
                if at is None:
                    ok = False
                    break
            if ok:
                out[i] = 0.0
        return out if (out == 0).any() else zeros


def rewrite_tool_names(text: str, pairs: list[tuple[str, str]]) -> str:
    """Replace a "name" field's quoted value equal to some pair's first text by its second."""
    out, i = [], 0
    while True:
        p = text.find('"name"', i)
        colon = text.find(":", p + 6) if p >= 0 else -1
        if colon < 0:
            out.append(text[i:])
            return "".join(out)
        out.append(text[i:colon + 1])
        i = k = colon + 1
        while k < len(text) and text[k] in " \t\n\r\x0c":
            k += 1
        if k < len(text) and text[k] == '"':
            e = k + 1
            while e < len(text) and text[e] != '"':
                e += 2 if text[e] == "\\" else 1
            if e < len(text):
                new = next((b for a, b in pairs if a == text[k + 1:e]), None)
                if new is not None:
                    out.append(text[i:k + 1] + new + '"')
                    i = e + 1


def compact_outside_strings(text: str) -> str:
    out, in_str, esc = [], False, False
    for ch in text:
        if in_str:
            if esc:
                esc = False
            elif ch == "\\":
                esc = True
            elif ch == '"':
                in_str = False
        elif ch == '"':
            in_str = True
        elif ch in " \t\n\r\x0c":
            continue
        out.append(ch)
    return "".join(out)


# ---------------------------------------------------------------- configuration and weights

@dataclass
class V1Config:
    max_enc_len: int = 1024
    activation: int = 0
    d_model: int = 512
    num_heads: int = 8
    num_kv_heads: int = 4
    num_encoder_layers: int = 12
    num_decoder_layers: int = 8
    vocab_size: int = 8192
    max_dec_len: int = 512
    ffn_dim: int = 2048
    no_feedforward: bool = True
    rope_theta: float = 10000.0

    @property
    def head_dim(self) -> int:
        return self.d_model // self.num_heads

    @classmethod
    def from_metadata(cls, meta: dict[str, str]) -> "V1Config":
        c = cls()
        for key in ("max_seq_len", "max_enc_len"):  # the specific key wins
            v = parse_u64(meta.get(key))
            if v is not None:
                c.max_enc_len = v
        c.activation = {"swiglu": 1, "geglu": 2}.get(meta.get("activation", ""), 0)
        for key in ("d_model", "num_heads", "num_kv_heads", "num_encoder_layers",
                    "num_decoder_layers", "vocab_size", "max_dec_len", "ffn_dim"):
            v = parse_u64(meta.get(key))
            if v is not None:
                setattr(c, key, v)
        c.no_feedforward = meta["no_feedforward"] in ("1", "True", "true") if "no_feedforward" in meta else True
        theta = parse_f32(meta.get("rope_theta", ""))
        c.rope_theta = float(theta) if theta is not None else 10000.0
        if c.num_heads == 0:
            raise ValueError("num_heads must be > 0")
        if c.num_kv_heads == 0:
            raise ValueError("num_kv_heads must be > 0")
        if c.d_model == 0:
            raise ValueError("d_model must be > 0")
        if c.d_model % c.num_heads:
            raise ValueError("d_model must be divisible by num_heads")
        if c.num_heads % c.num_kv_heads:
            raise ValueError("num_heads must be divisible by num_kv_heads")
        if c.vocab_size == 0:
            raise ValueError("vocab_size must be > 0")
        return c


def quantize_q4(w) -> tuple[np.ndarray, np.ndarray]:
    """(codes int8 (rows, cols), scales float32 (ceil(rows/32), cols)): per column, 32-row groups."""
    w = np.asarray(w, dtype=np.float32)
    rows, cols = w.shape
    groups = -(-rows // 32)
    padded = np.zeros((groups * 32, cols), dtype=np.float32)
    padded[:rows] = w
    g = padded.reshape(groups, 32, cols)
    with np.errstate(all="ignore"):
        mag = np.abs(g)
        amax = np.where(np.isnan(mag), np.float32(0), mag).max(axis=1) if groups else np.zeros((0, cols), np.float32)
        scale = np.maximum(amax / np.float32(7), np.float32(1e-8)).astype(np.float32)
        v = (g / scale[:, None, :]).astype(np.float64)
        q = np.sign(v) * np.floor(np.abs(v) + 0.5)  # half away from zero
    q = np.clip(np.nan_to_num(q, nan=0.0, posinf=7, neginf=-8), -8, 7)
    return q.reshape(groups * 32, cols)[:rows].astype(np.int8), scale


def unpack_q4_rows(raw: bytes, rows: int, cols: int) -> np.ndarray:
    """Codes from bytes laid out [row / 2][col], even row in the low nibble."""
    b = np.frombuffer(raw, dtype=np.uint8).reshape(-(-rows // 2), cols)
    low = ((b & 15).astype(np.int16) ^ 8) - 8
    high = b.view(np.int8).astype(np.int16) >> 4
    q = np.empty((2 * b.shape[0], cols), dtype=np.int8)
    q[0::2], q[1::2] = low, high
    return q[:rows]


def pack_q4_rows(q: np.ndarray) -> bytes:
    rows, cols = q.shape
    pad = np.zeros((rows + rows % 2, cols), dtype=np.int16)
    pad[:rows] = q
    return ((pad[0::2] & 15) | ((pad[1::2] & 15) << 4)).astype(np.uint8).tobytes()


@dataclass
class Linear:
    q: np.ndarray       # (in, out) int8 codes
    scales: np.ndarray  # (ceil(in / 32), out) float32
    w: np.ndarray = field(init=False)  # (in, out) float64, code times scale

    def __post_init__(self):
        rep = np.repeat(self.scales.astype(np.float64), 32, axis=0)[:self.q.shape[0]]
        self.w = self.q.astype(np.float64) * rep


@dataclass
class Attn:
    wq: Linear
    wk: Linear
    wv: Linear
    wo: Linear
    q_norm: np.ndarray
    k_norm: np.ndarray


@dataclass
class Block:
    self_attn: Attn
    self_gate: float
    self_norm: np.ndarray
    ffn: tuple | None = None  # (gate_proj, up_proj, down_proj, gate, norm)
    cross_attn: Attn | None = None
    cross_gate: float = 0.0
    cross_norm: np.ndarray | None = None


def rms_norm(x, w) -> np.ndarray:
    x = np.asarray(x, dtype=np.float64)
    r = np.sqrt(np.mean(x * x, axis=-1, keepdims=True) + EPS)
    return x / r * (1.0 + np.asarray(w, dtype=np.float64))


def sigmoid(z):
    return 1.0 / (1.0 + np.exp(-np.asarray(z, dtype=np.float64)))


def activation(code: int, a, b):
    if code == 1:
        return a * sigmoid(a) * b
    if code == 2:
        return 0.5 * a * (1.0 + np.tanh(0.7978846 * (a + 0.044715 * a ** 3))) * b
    return np.maximum(a, 0.0) * np.maximum(b, 0.0)


def attend(q, keys, values) -> np.ndarray:
    """One query head over the visible positions; a degenerate row averages the values."""
    n = len(keys)
    if n == 0:
        return np.zeros(len(q))
    s = np.asarray(keys, np.float64) @ q / math.sqrt(len(q))
    m = s.max()
    if m == -math.inf:
        w = np.full(n, 1.0 / n)
    else:
        e = np.exp(s - m)
        w = e / e.sum() if e.sum() != 0 else np.full(n, 1.0 / n)
    return w @ np.asarray(values, np.float64)


class _Step:
    """Per-call decoder state: self caches (capacity max_dec_len) and cross caches."""

    def __init__(self, cross):
        self.cross = cross  # per block: (K (M, kv, hd), V (M, kv, hd))
        self.keys = [[] for _ in cross]
        self.values = [[] for _ in cross]


class V1Reference:
    def __init__(self, weights_bytes: bytes, vocab_text: str):
        st = SafeTensors(weights_bytes)
        self.vocab = Vocab(vocab_text)
        self.cfg = cfg = V1Config.from_metadata(st.metadata)
        self.log = st.log
        self._st = st
        d, hd, V = cfg.d_model, cfg.head_dim, cfg.vocab_size
        emb = st.get_f32("embedding")
        if emb is None:
            raise ValueError("missing embedding tensor")
        if emb.size != V * d:
            raise ValueError(f"embedding size mismatch: got {emb.size}, expected {V * d}")
        self.embedding = emb.astype(np.float64).reshape(V, d)
        self.encoder_blocks = [self._block(f"encoder.{i}", False) for i in range(cfg.num_encoder_layers)]
        self.decoder_blocks = [self._block(f"decoder.{i}", True) for i in range(cfg.num_decoder_layers)]
        self.enc_final = self._norm("encoder_final_norm", d)
        self.dec_final = self._norm("decoder_final_norm", d)
        self.rope_len = max(cfg.max_enc_len, cfg.max_dec_len)
        self.head = None
        parts = [st.get_f32(n) for n in ("contrastive_hidden_kernel", "contrastive_hidden_bias",
                                         "contrastive_proj_kernel")]
        if all(p is not None for p in parts):
            kern, bias, proj = parts
            H = bias.size
            if H > 0 and kern.size == H * d and proj.size % H == 0:
                self.head = (kern.astype(np.float64).reshape(d, H), bias.astype(np.float64),
                             proj.astype(np.float64).reshape(H, proj.size // H))
            else:
                self.log.append("[vorpel] contrastive head shape mismatch \u2014 skipping")

    # -- loading

    def _norm(self, name: str, n: int) -> np.ndarray:
        v = self._st.get_f32(name)
        if v is None:
            return np.zeros(n)
        if v.size != n:
            raise ValueError(f"{name} has {v.size} values, expected {n}")
        return v.astype(np.float64)

    def _gate(self, name: str) -> float:
        v = self._st.get_f32(name)
        return float(v[0]) if v is not None and v.size else 0.0

    def linear(self, name: str, n_in: int, n_out: int) -> Linear:
        st = self._st
        scale = st.get_f32(name + ".scale") if name in st else None
        if scale is not None and n_out and scale.size % n_out == 0:
            groups, raw = scale.size // n_out, st.raw(name)
            if groups != -(-n_in // 32) or len(raw) != -(-n_in // 2) * n_out:
                raise ValueError(f"pre-quantised {name} does not fit {n_in}x{n_out}")
            return Linear(unpack_q4_rows(raw, n_in, n_out), scale.reshape(groups, n_out))
        if scale is not None:
            self.log.append(f"Warning: {name}.scale length {scale.size} is not divisible by "
                            f"out_feat {n_out}; falling back to re-quantize")
        w = st.get_f32(name)
        if w is None:
            self.log.append(f"Warning: missing tensor {name}, using zeros")
            w = np.zeros(n_in * n_out, np.float32)
        if w.size != n_in * n_out:
            raise ValueError(f"{name} has {w.size} values, expected {n_in * n_out}")
        return Linear(*quantize_q4(w.reshape(n_in, n_out)))

    def _attn(self, p: str) -> Attn:
        c = self.cfg
        d, hd = c.d_model, c.head_dim
        return Attn(self.linear(p + ".wq", d, c.num_heads * hd), self.linear(p + ".wk", d, c.num_kv_heads * hd),
                    self.linear(p + ".wv", d, c.num_kv_heads * hd), self.linear(p + ".wo", c.num_heads * hd, d),
                    self._norm(p + ".q_norm", hd), self._norm(p + ".k_norm", hd))

    def _block(self, p: str, decoder: bool) -> Block:
        c = self.cfg
        ffn = None
        if not c.no_feedforward:
            ffn = (self.linear(p + ".ffn.gate_proj", c.d_model, c.ffn_dim),
                   self.linear(p + ".ffn.up_proj", c.d_model, c.ffn_dim),
                   self.linear(p + ".ffn.down_proj", c.ffn_dim, c.d_model),
                   self._gate(p + ".ffn_gate"), self._norm(p + ".ffn_norm", c.d_model))
        attn = self._attn(p + ".self_attn")
        blk = Block(attn, self._gate(p + ".self_attn_gate"),
                    self._norm(p + (".self_attn_norm" if decoder else ".norm"), c.d_model), ffn)
        if decoder:
            blk.cross_attn = self._attn(p + ".cross_attn")
            blk.cross_gate = self._gate(p + ".cross_attn_gate")
            blk.cross_norm = self._norm(p + ".cross_attn_norm", c.d_model)
        return blk

    # -- forward pass

    def rope(self, v: np.ndarray, p: int) -> np.ndarray:
        """Half-split rotation of the head vectors in v (..., head_dim) to position p."""
        hd = v.shape[-1]
        half = hd // 2
        ang = p / self.cfg.rope_theta ** (2.0 * np.arange(half) / hd)
        c, s = np.cos(ang), np.sin(ang)
        out = v.copy()
        out[..., :half] = v[..., :half] * c - v[..., half:2 * half] * s
        out[..., half:2 * half] = v[..., :half] * s + v[..., half:2 * half] * c
        return out

    def _heads(self, lin: Linear, u: np.ndarray, norm: np.ndarray) -> np.ndarray:
        y = (u @ lin.w).reshape(-1, self.cfg.head_dim)
        return rms_norm(y, norm)

    def _ffn(self, blk: Block, x: np.ndarray) -> np.ndarray:
        if blk.ffn is None:
            return x
        gp, up, dp, gate, norm = blk.ffn
        u = rms_norm(x, norm)
        return x + sigmoid(gate) * (activation(self.cfg.activation, u @ gp.w, u @ up.w) @ dp.w)

    def _check_ids(self, ids) -> list[int]:
        ids = [int(t) for t in ids]
        bad = [t for t in ids if not 0 <= t < self.cfg.vocab_size]
        if bad:
            raise ValueError(f"token ids {bad} outside the embedding")
        return ids

    def encoder(self, ids) -> np.ndarray:
        ids = self._check_ids(ids)
        c = self.cfg
        group = c.num_heads // c.num_kv_heads
        x = self.embedding[ids] * math.sqrt(c.d_model)
        for blk in self.encoder_blocks:
            a = blk.self_attn
            u = rms_norm(x, blk.self_norm)
            q = [self.rope(self._heads(a.wq, u[i], a.q_norm), i) for i in range(len(ids))]
            k = [self.rope(self._heads(a.wk, u[i], a.k_norm), i) for i in range(len(ids))]
            v = [(u[i] @ a.wv.w).reshape(-1, c.head_dim) for i in range(len(ids))]
            for i in range(len(ids)):
                heads = [attend(q[i][h], [kk[h // group] for kk in k], [vv[h // group] for vv in v])
                         for h in range(c.num_heads)]
                x[i] = x[i] + sigmoid(blk.self_gate) * (np.concatenate(heads) @ a.wo.w)
            x = np.stack([self._ffn(blk, row) for row in x]) if len(ids) else x
        return rms_norm(x, self.enc_final)

    def start(self, enc: np.ndarray) -> _Step:
        cross = []
        for blk in self.decoder_blocks:
            a = blk.cross_attn
            cross.append(([self._heads(a.wk, row, a.k_norm) for row in enc],
                          [(row @ a.wv.w).reshape(-1, self.cfg.head_dim) for row in enc]))
        return _Step(cross)

    def step(self, st: _Step, token: int) -> np.ndarray:
        c = self.cfg
        (token,) = self._check_ids([token])
        group = c.num_heads // c.num_kv_heads
        x = self.embedding[token] * math.sqrt(c.d_model)
        for b, blk in enumerate(self.decoder_blocks):
            a = blk.self_attn
            u = rms_norm(x, blk.self_norm)
            p = len(st.keys[b])
            q = self.rope(self._heads(a.wq, u, a.q_norm), p)
            k = self.rope(self._heads(a.wk, u, a.k_norm), p)
            if p < c.max_dec_len:
                st.keys[b].append(k)
                st.values[b].append((u @ a.wv.w).reshape(-1, c.head_dim))
            else:
                self.log.append(f"[vorpel-core] KV cache full at {p} steps \u2014 output will degrade")
            heads = [attend(q[h], [kk[h // group] for kk in st.keys[b]], [vv[h // group] for vv in st.values[b]])
                     for h in range(c.num_heads)]
            x = x + sigmoid(blk.self_gate) * (np.concatenate(heads) @ a.wo.w)
            a = blk.cross_attn
            q = self._heads(a.wq, rms_norm(x, blk.cross_norm), a.q_norm)
            ck, cv = st.cross[b]
            heads = [attend(q[h], [kk[h // group] for kk in ck], [vv[h // group] for vv in cv])
                     for h in range(c.num_heads)]
            x = x + sigmoid(blk.cross_gate) * (np.concatenate(heads) @ a.wo.w)
            x = self._ffn(blk, x)
        return self.embedding @ rms_norm(x, self.dec_final)

    def decoder_logits(self, enc_ids, dec_ids) -> np.ndarray:
        st = self.start(self.encoder(enc_ids))
        rows = [self.step(st, t) for t in dec_ids]
        return np.array(rows).reshape(len(rows), self.cfg.vocab_size)

    # -- engine operations

    def encode_text(self, text: str) -> list[int]:
        return self.vocab.encode(text)

    def encoder_input(self, query: str, tool_text: str) -> list[int]:
        L = self.cfg.max_enc_len
        q, t = self.encode_text(query), self.encode_text(tool_text)
        if (not q and not t) or L == 0:
            return []
        nq = min(len(q), max(L - 2, 0))
        nt = min(len(t), max(L - nq - 1, 0))
        return q[:nq] + [SEP_ID] + t[:nt]

    def run(self, query: str, tools_json: str, on_token=None) -> tuple[list[int], str]:
        tools = parse_tools(tools_json)
        pieces = [self.vocab.piece_text(i).encode("utf-8", "surrogatepass") for i in range(len(self.vocab))]
        constraint = ToolConstraint(tools, pieces) if tools else None
        aliases = [(t.name, t.norm) for t in tools if t.name != t.norm]
        tool_text = rewrite_tool_names(tools_json, aliases) if aliases else tools_json
        enc = self.encoder_input(query, compact_outside_strings(tool_text))
        if not enc:
            return [], ""
        st = self.start(self.encoder(enc))
        logits = self.step(st, START_ID)
        out: list[int] = []
        while True:
            lg = logits.astype(np.float32)
            if constraint is not None:
                lg = lg + constraint.bias(len(lg))
            tok = greedy_choice(lg)
            if tok == START_ID:
                break
            if on_token is not None:
                on_token(tok, self.vocab.piece_text(tok))
            out.append(tok)
            if constraint is not None:
                constraint.feed(tok)
            if len(out) >= self.cfg.max_dec_len:
                break
            logits = self.step(st, tok)
        text = self.vocab.decode(out)
        if len(self.vocab) >= 5:
            prefix = self.vocab.piece_text(PREFIX_ID)
            if text.startswith(prefix):
                text = text[len(prefix):]
        if aliases:
            text = rewrite_tool_names(text, [(n, r) for r, n in aliases])
        return out, text

    def contrastive_dim(self) -> int:
        return 0 if self.head is None else self.head[2].shape[1]

    def encode_contrastive(self, text: str) -> np.ndarray | None:
        if self.head is None:
            return None
        kern, bias, proj = self.head
        ids = self.encode_text(text)[:self.rope_len]
        if not ids:
            return np.zeros(proj.shape[1])
        pooled = self.encoder(ids).mean(axis=0)
        z = np.maximum(0.0, bias + pooled @ kern) @ proj
        return z / math.sqrt(float(z @ z) + 1e-12)

    def retrieve_tools(self, query: str, descriptions, top_k: int) -> list[tuple[int, float]]:
        qv = self.encode_contrastive(query)
        if qv is None:
            return []
        scores = np.array([float(qv @ self.encode_contrastive(d)) for d in descriptions], dtype=np.float32)
        keys = f32_total_key(scores) if len(scores) else []
        order = sorted(range(len(scores)), key=lambda i: -int(keys[i]))  # stable
        return [(i, float(scores[i])) for i in order[:max(min(top_k, len(scores)), 0)]]
