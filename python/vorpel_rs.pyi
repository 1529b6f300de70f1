"""Type information for the vorpel_rs extension module (CPU inference engine
for small tool-calling language models).

Internal fatal errors raise `vorpel_rs.PanicException` (a BaseException, not an
Exception). Text arguments must be encodable as UTF-8: a str holding a lone
surrogate raises UnicodeEncodeError with the note "while processing '<name>'"."""
from collections.abc import Callable, Sequence
from typing import TypedDict, final

__all__ = ["VorpelEngine", "V2Engine", "V3Engine"]

class _V2Generation(TypedDict):
    text: str
    tool_call: str | None
    thinking: str | None
    token_ids: list[int]
    prompt_tokens: int
    stop_reason: str  # "Eos", "ImEnd", "MaxTokens", "ContextFull" or 'Error("...")'
    stopped_naturally: bool

class _V2Config(TypedDict):
    vocab_size: int
    d_model: int
    num_heads: int
    num_kv_heads: int
    num_layers: int
    head_dim: int
    max_seq_len: int
    mhc_lanes: int
    kv_window: int
    rope_theta: float
    engram_sites: list[int]

class _V3Generation(TypedDict):
    text: str
    tool_call: str | None
    reasoning: str | None
    token_ids: list[int]
    stop_reason: str  # "Eos", "ImEnd", "MaxTokens" or "MaxSeqLen"
    positions: int

class _V3Scored(TypedDict):
    text: str
    tool_call: str | None
    reasoning: str | None
    stop_reason: str

class PanicException(BaseException):
    """An internal fatal error of the engine. Not an `Exception` subclass."""

@final
class VorpelEngine:
    """First generation: an encoder-decoder whose weights come from a safetensors
    file and whose vocabulary from a separate text file."""

    @staticmethod
    def load(weights_path: str, vocab_path: str) -> VorpelEngine:
        """Load from file paths."""
    @staticmethod
    def from_bytes(weights_bytes: bytes, vocab_text: str) -> VorpelEngine:
        """Load from in-memory bytes (useful when the caller already has the weights buffered)."""
    def run(self, query: str, tools_json: str) -> str:
        """Run inference and return the final JSON tool-call string."""
    def run_stream(self, query: str, tools_json: str, callback: Callable[[int, str], object]) -> str:
        """Run inference with a per-token callback, return the final JSON string."""
    def run_batch(self, examples: Sequence[tuple[str, str]]) -> list[str]:
        """Run inference on a batch of (query, tools_json) pairs."""
    def encode_contrastive(self, text: str) -> list[float] | None:
        """Return the L2-normalised contrastive embedding for `text`, or None if
        the loaded weights have no contrastive head."""
    def contrastive_dim(self) -> int:
        """Dimension of the contrastive embedding (0 if no contrastive head)."""
    def retrieve_tools(self, query: str, tool_descriptions: Sequence[str], top_k: int) -> list[tuple[int, float]]:
        """Rank `tool_descriptions` by cosine similarity to `query`."""

@final
class V2Engine:
    """Vorpel v2. A `.trov` container carries its weights, geometry and tokenizer,
    so `load` takes one path and there is no vocabulary argument."""

    @staticmethod
    def load(trov_path: str) -> V2Engine:
        """Load a `.trov` model from disk."""
    @staticmethod
    def from_bytes(trov_bytes: bytes) -> V2Engine:
        """Load a `.trov` model from an in-memory image."""
    def run(self, query: str, tools_json: str) -> str:
        """Greedy tool call. Returns the full decoded text."""
    def run_json(self, query: str, tools_json: str) -> str | None:
        """Just the `<tool_call>` payload, or None if the model emitted no call."""
    def generate(
        self,
        query: str,
        tools_json: str,
        max_new_tokens: int = 128,
        temperature: float = 0.0,
        seed: int = 0,
        system: str | None = None,
        constrain: bool = False,
    ) -> _V2Generation:
        """Generation with explicit settings.

        Returns a dict: `text`, `tool_call`, `thinking`, `token_ids`,
        `prompt_tokens`, `stop_reason` (and `stopped_naturally`)."""
    def run_stream(self, query: str, tools_json: str, callback: Callable[[int, str], object]) -> str:
        """Streaming generation. `callback(token_id: int, piece: str)` per token."""
    def run_batch(self, examples: Sequence[tuple[str, str]]) -> list[str]:
        """Run several queries in sequence, reusing one KV cache."""
    def encode_contrastive(self, text: str) -> list[float] | None:
        """L2-normalised contrastive embedding, or None without such a head."""
    def contrastive_dim(self) -> int:
        """Width of the contrastive embedding (0 if absent)."""
    def confidence_for(self, query: str, tools_json: str, completion: str) -> float | None:
        """Probability in (0, 1) that `completion` is the right answer for this
        query, or None without a confidence head."""
    def confidence(self, text: str) -> float | None:
        """Raw confidence logit for an arbitrary string, or None without the head."""
    def confidence_probability(self, text: str) -> float | None:
        """`confidence()` as a probability in (0, 1)."""
    def retrieve_tools(self, query: str, tool_descriptions: Sequence[str], top_k: int) -> list[tuple[int, float]]:
        """Rank tool descriptions by cosine similarity to `query`."""
    def config(self) -> _V2Config:
        """Model geometry, as a dict."""

@final
class V3Engine:
    """Vorpel 3.

    Mirrors `V2Engine` so switching generations is a class swap, with two
    differences that follow from the model rather than from taste:

    * No `encode_contrastive` or `retrieve_tools`. v3 exports a confidence head
      and nothing else, so they would return empty on every call.
    * `reasoning()`, because v3 emits a `<think>` block on essentially every
      query. v2 does so only sometimes, so the block is not a generation marker."""

    @staticmethod
    def load(trov_path: str) -> V3Engine:
        """Load a `vorpel3.trov` model from disk."""
    @staticmethod
    def from_bytes(trov_bytes: bytes) -> V3Engine:
        """Load a `vorpel3.trov` model from an in-memory image."""
    def run(self, query: str, tools_json: str) -> str:
        """The full completion, reasoning included."""
    def run_json(self, query: str, tools_json: str) -> str | None:
        """Just the tool-call payload; `"[]"` is a deliberate abstention, None means no markers."""
    @staticmethod
    def reasoning(text: str) -> str | None:
        """The chain-of-thought inside a completion, if it has one."""
    @staticmethod
    def extract_tool_call(text: str) -> str | None:
        """Pull the payload out of a completion you already have."""
    @staticmethod
    def load_with_depth(path: str, layers: int) -> V3Engine:
        """Load the `layers`-block ladder rung of a container (ValueError outside the ladder)."""
    @property
    def num_layers(self) -> int:
        """How many blocks this engine is running."""
    def generate(
        self,
        query: str,
        tools_json: str,
        max_new_tokens: int = 0,
        temperature: float = 0.0,
        seed: int = 0,
        system: str | None = None,
        constrain: bool = False,
        kv_int8: bool = False,
    ) -> _V3Generation:
        """Generation with explicit settings (max_new_tokens 0 means 256).

        Returns a dict: `text`, `tool_call`, `reasoning`, `token_ids`,
        `stop_reason`, `positions`."""
    def run_stream(self, query: str, tools_json: str, callback: Callable[[str], object]) -> str:
        """Generate, calling `callback(piece)` with each decoded delta."""
    def has_confidence(self) -> bool:
        """Whether this container carries a confidence head."""
    def confidence_for(self, query: str, tools_json: str, completion: str) -> float | None:
        """How confident the model is in a completion it produced."""
    def run_scored(self, query: str, tools_json: str) -> tuple[_V3Scored, float | None]:
        """Generate, then score what was generated. Returns `(result, confidence)`."""
    def kv_bytes(self, seq_len: int, kv_int8: bool = False) -> int:
        """Key/value cache bytes for a session of `seq_len` positions."""
    @property
    def max_seq_len(self) -> int:
        """Context limit in tokens."""
