"""The container writer and CQ quantiser, read back through `vorpel inspect`."""
import json
import struct
import subprocess

import numpy as np
import pytest

from vorpel_writer import (DEFAULT_CODEBOOK, CqBlob, TrovWriter, dequantize_cq, fwht_normalised,
                           quantize_cq, trov_read)

F32_EPS = float(np.finfo(np.float32).eps)


def inspect(cli, path, *extra):
    r = subprocess.run([str(cli), "inspect", str(path), *extra], capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def inspect_fails(cli, path):
    r = subprocess.run([str(cli), "inspect", str(path)], capture_output=True, text=True, timeout=60)
    return r.returncode, r.stderr.strip()


def cli_tensor(cli, path, index):
    out = inspect(cli, path, "--tensor", str(index))
    if "values" not in out:
        return out
    vals = np.asarray([np.nan if v is None else v for v in out["values"]], dtype=np.float32)
    return vals.reshape(out["dims"])


def v2_geometry(w):
    w.header(vocab=32, d_model=16, num_heads=4, num_kv_heads=2, num_layers=2, head_dim=4,
             max_seq_len=64, hada_n=16, mhc_lanes=2)
    return w


def hadamard(n):
    h = np.array([[1.0]])
    while h.shape[0] < n:
        h = np.block([[h, h], [h, -h]])
    return h / np.sqrt(n)


def test_fwht_matches_hadamard_matrix():
    rng = np.random.default_rng(11)
    for n in (1, 2, 8, 64):
        x = rng.standard_normal((3, n)).astype(np.float32)
        np.testing.assert_allclose(fwht_normalised(x), x @ hadamard(n).T, rtol=0, atol=1e-5 * n)
        np.testing.assert_allclose(fwht_normalised(fwht_normalised(x)), x, atol=1e-5)
    with pytest.raises(ValueError):
        fwht_normalised(np.zeros(12))


# Upper bounds on rms(error) / rms(weights) for unit Gaussian weights: the
# Lloyd-Max distortion of each level count, with some room for the f16 scale
# and for small blocks.
RMS_BOUND = {2: 0.40, 3: 0.23, 4: 0.13, "ternary": 0.50}
SHAPES = [(8, 8), (5, 100, 64), (7, 31, 32), (3, 300, 128), (4, 64, 16)]


@pytest.mark.parametrize("bits", [2, 3, 4, "ternary"])
def test_cq_round_trip_through_cli(vorpel_cli, tmp_path, bits):
    seed = {2: 1, 3: 2, 4: 3, "ternary": 4}[bits]
    rng = np.random.default_rng(seed)
    w = v2_geometry(TrovWriter(version=2))
    cases = []
    for shape in SHAPES:
        rows, cols = shape[0], shape[1]
        block = shape[2] if len(shape) > 2 else 8
        m = rng.standard_normal((rows, cols)).astype(np.float32) * rng.uniform(0.01, 3)
        blob = quantize_cq(m, bits=bits, block=block)
        cases.append((w.add_cq_blob(blob), m, blob))
    path = tmp_path / "cq.trov"
    w.write(path)
    for index, m, blob in cases:
        got = cli_tensor(vorpel_cli, path, index)
        assert got.shape == m.shape, (seed, index)
        err = np.sqrt(np.mean((got - m) ** 2)) / np.sqrt(np.mean(m ** 2))
        assert err < RMS_BOUND[bits], (seed, index, blob.block, err)
        # The Python dequantiser computes the same f32 values: only rounding
        # of a log2(b)-deep butterfly may differ.
        py = dequantize_cq(blob)
        b = blob.block
        bound = 4 * F32_EPS * (np.log2(b) + 1) * np.max(np.abs(py)) * np.sqrt(b) + 1e-30
        diff = np.max(np.abs(py - got))
        assert diff <= bound, (seed, index, diff, bound)


@pytest.mark.parametrize("bits", [2, 3, 4, "ternary"])
def test_cq_exact_on_codebook_grid(vorpel_cli, tmp_path, bits):
    """Weights whose rotated blocks are f16 scale x codebook level come back
    exactly up to float rounding: the quantiser must find that scale."""
    seed = {2: 21, 3: 22, 4: 23, "ternary": 24}[bits]
    rng = np.random.default_rng(seed)
    nbits = 2 if bits == "ternary" else bits
    w = v2_geometry(TrovWriter(version=2))
    cases = []
    for rows, cols, block in [(3, 16, 8), (4, 64, 32), (2, 128, 64)]:
        nblk = cols // block
        if bits == "ternary":
            c = np.float32(1.2240064) / np.sqrt(np.float32(block))
            level = np.asarray([0, c, 0, -c], dtype=np.float32)
        else:
            lo = {2: 0, 3: 4, 4: 12}[bits]
            level = DEFAULT_CODEBOOK[lo:lo + 2 ** nbits]
        codes = rng.integers(0, 2 ** nbits, size=(rows, nblk, block))
        scales = rng.uniform(0.05, 2.0, size=(rows, nblk, 1)).astype(np.float16).astype(np.float32)
        rotated = (level[codes] * scales).astype(np.float32)
        m = fwht_normalised(rotated).reshape(rows, cols)
        blob = quantize_cq(m, bits=bits, block=block)
        cases.append((w.add_cq_blob(blob), m))
    path = tmp_path / "grid.trov"
    w.write(path)
    for index, m in cases:
        got = cli_tensor(vorpel_cli, path, index)
        tol = 64 * F32_EPS * np.max(np.abs(m))
        assert np.max(np.abs(got - m)) <= tol, (seed, index, np.max(np.abs(got - m)), tol)


def test_float_and_byte_entries_exact(vorpel_cli, tmp_path):
    rng = np.random.default_rng(5)
    w = v2_geometry(TrovWriter(version=2))
    arrays = [np.float32(1.25), rng.standard_normal(7), rng.standard_normal((3, 5)),
              rng.standard_normal((2, 3, 4)), rng.standard_normal((2, 1, 3, 2)), np.zeros(0)]
    f32 = [(w.add_f32(a), np.asarray(a, dtype=np.float32)) for a in arrays]
    f16 = [(w.add_f16(a * 100), np.asarray(a * 100, dtype=np.float16).astype(np.float32))
           for a in arrays]
    raw = w.add_bytes(b"\x00tokenizer\xff")
    path = tmp_path / "floats.trov"
    w.write(path)
    for index, want in f32 + f16:
        got = cli_tensor(vorpel_cli, path, index)
        assert got.shape == want.shape
        assert np.array_equal(got, want), index
    assert cli_tensor(vorpel_cli, path, raw) == {"dims": [11], "nbytes": 11}


def test_header_round_trip_v2(vorpel_cli, tmp_path):
    w = TrovWriter(version=2)
    fields = dict(rope_theta=12345.5, kv_window=7, vocab=99, d_model=12, num_heads=6,
                  num_kv_heads=3, num_layers=5, head_dim=2, max_seq_len=77, hada_n=16,
                  mhc_lanes=3, table_rows=10, sub_dim=4, num_tables=3, conv_taps=4,
                  tap_stride=2, orders=[2, 3, 4], engram_sites=[0, 4])
    w.header(**fields, flags=b"\x01\x00\x02\xff")
    w.add_f32([1.0])
    path = tmp_path / "h2.trov"
    w.write(path)
    out = inspect(vorpel_cli, path)
    assert out["version"] == 2
    h = out["header"]
    for name, value in fields.items():
        assert h[name] == value, name
    assert h["order_count"] == 3 and h["site_count"] == 2
    assert h["flags"] == [1, 0, 2, 255]
    assert h["tag"] == 0x05E12A83 and h["tensor_count"] == 1 and h["codebook_floats"] == 28
    assert np.array_equal(np.asarray(out["codebook"], dtype=np.float32), DEFAULT_CODEBOOK)
    assert out["tensors"] == [{"index": 0, "dtype": 2, "ndim": 1, "dims": [1], "offset": 276,
                               "nbytes": 4, "cq_block": 0, "cq_bits": 0}]
    # The pure-Python parser agrees with the C++ reader.
    parsed = trov_read.parse(path.read_bytes())
    assert parsed["tensors"] == out["tensors"]
    assert {k: v for k, v in parsed["header"].items() if k != "flags"} == \
        {k: v for k, v in h.items() if k != "flags"}

    # Raw counts above the slots: only four entries are read.
    w.header(orders=[1, 2, 3, 4], order_count=7)
    w.write(path)
    h = inspect(vorpel_cli, path)["header"]
    assert h["order_count"] == 7 and h["orders"] == [1, 2, 3, 4]


def test_header_round_trip_v3(vorpel_cli, tmp_path):
    w = TrovWriter(version=3)
    fields = dict(kept_12=1, kept_16=2, vocab_size=300, logit_rows=290, d_model=64, num_heads=4,
                  num_kv_heads=2, num_layers=12, head_dim=16, value_dim=8, max_seq_len=512,
                  hada_n=64, mhc_lanes=2, kv_window=128, global_layer_mask=(1 << 63) | 0b101,
                  qkv_conv_taps=3, table_rows=97, sub_dim=5, num_tables=12, conv_taps=4,
                  tap_stride=2, engram_seed_stride=9, orders=[2, 3, 4],
                  engram_sites=list(range(16)), rope_theta=1e6)
    w.header(**fields)
    cq = w.add_cq(np.random.default_rng(6).standard_normal((4, 20)), bits=3, block=16)
    path = tmp_path / "h3.trov"
    w.write(path)
    out = inspect(vorpel_cli, path)
    assert out["version"] == 3
    for name, value in fields.items():
        assert out["header"][name] == value, name
    assert out["header"]["magic"] == 0x05E12A84 and out["header"]["codebook_len"] == 28
    assert out["header"]["site_count"] == 16
    t = out["tensors"][cq]
    assert (t["dtype"], t["dims"], t["cq_block"], t["cq_bits"], t["offset"]) == (3, [4, 20], 16, 3, 352)
    assert cli_tensor(vorpel_cli, path, cq).shape == (4, 20)


def test_container_errors_reach_the_cli(vorpel_cli, tmp_path):
    w = v2_geometry(TrovWriter(version=2))
    w.add_f32(np.ones(4))
    good = w.to_bytes()
    cases = [
        (good[:119], "trov truncated: need at least 120 bytes, got 119"),
        (b"\x01\x02\x03\x04" + good[4:], "not a trov blob: tag 0x04030201, want 0x05e12a83"),
        (good[:-1], "tensor 0 spans 276..292 but the file is 291 bytes"),
        (b"", "trov truncated: need at least 120 bytes, got 0"),
    ]
    bad = v2_geometry(TrovWriter(version=2))
    bad.header(num_heads=8, num_kv_heads=3)
    cases.append((bad.to_bytes(), "header field num_heads % num_kv_heads must be non-zero"))
    crafted = v2_geometry(TrovWriter(version=2))
    crafted.add_raw(2, [4], b"", offset=2**64 - 1, nbytes=2)
    cases.append((crafted.to_bytes(), "tensor 0 spans 18446744073709551615..18446744073709551617 "
                                      "but the file is 276 bytes"))
    short_cb = v2_geometry(TrovWriter(version=2))
    short_cb.codebook = DEFAULT_CODEBOOK[:27]
    cases.append((short_cb.to_bytes(), "header codebook is 27 floats, want 28 (cb2|cb3|cb4)"))
    v3 = TrovWriter(version=3)
    v3.set_u32(4, 1000)
    cases.append((v3.to_bytes(), f"trov truncated: need at least {308 + 44 * 1000} bytes, got 308"))
    for i, (data, text) in enumerate(cases):
        p = tmp_path / f"bad{i}.trov"
        p.write_bytes(data)
        assert inspect_fails(vorpel_cli, p) == (2, text), i

    # Accessor errors show up for --tensor.
    w.add_raw(1, [7], b"\x00" * 7)
    w.add_raw(3, [2, 100], b"\x00" * 10, cq_block=64, cq_bits=4)
    p = tmp_path / "acc.trov"
    w.write(p)
    for index, text in [(1, "tensor 1 has 7 bytes, not a whole element count"),
                        (2, "cq: ShortBlob { need: 136, got: 10 }")]:
        r = subprocess.run([str(vorpel_cli), "inspect", str(p), "--tensor", str(index)],
                           capture_output=True, text=True, timeout=60)
        assert (r.returncode, r.stderr.strip()) == (2, text)
    r = subprocess.run([str(vorpel_cli), "inspect", str(p), "--tensor", "3"], capture_output=True,
                       text=True, timeout=60)
    assert r.returncode == 1
    r = subprocess.run([str(vorpel_cli), "inspect"], capture_output=True, text=True, timeout=60)
    assert r.returncode == 1


def test_writer_layout_by_hand():
    """The bytes the writer emits, checked field by field."""
    w = TrovWriter(version=2)
    w.header(vocab=5, orders=[9])
    w.set_u8(116, 3)
    idx = w.add_raw(3, [2, 8], b"abc", cq_block=8, cq_bits=4)
    data = w.to_bytes()
    assert len(w) == w.tensor_count == 1 and idx == 0
    assert struct.unpack_from("<III", data, 0) == (0x05E12A83, 1, 28)
    assert struct.unpack_from("<f", data, 12)[0] == 10000.0
    assert struct.unpack_from("<I", data, 20)[0] == 5
    assert struct.unpack_from("<II", data, 76) == (1, 9)
    assert data[116] == 3
    rec = data[232:276]
    assert rec[0] == 3 and rec[1] == 2
    assert struct.unpack_from("<4IQQIB", rec, 4) == (2, 8, 0, 0, 276, 3, 8, 4)
    assert data[276:] == b"abc"


def test_value_errors():
    w = TrovWriter(version=2)
    with pytest.raises(ValueError):
        TrovWriter(version=4)
    for bad in [dict(vocab_size=1), dict(magic=1), dict(vocab=-1), dict(vocab=2 ** 32),
                dict(vocab=1.5), dict(orders=[1, 2, 3, 4, 5]), dict(flags=b"\0"),
                dict(engram_sites=[-1])]:
        with pytest.raises(ValueError):
            w.header(**bad)
    w3 = TrovWriter(version=3)
    w3.header(engram_sites=list(range(16)), global_layer_mask=2 ** 64 - 1)
    for bad in [dict(vocab=1), dict(engram_sites=list(range(17))), dict(global_layer_mask=2 ** 64)]:
        with pytest.raises(ValueError):
            w3.header(**bad)
    m = np.ones((2, 16), dtype=np.float32)
    for kwargs in [dict(bits=1), dict(bits=6), dict(bits="two"), dict(bits=True), dict(block=12),
                   dict(block=4), dict(block=0), dict(codebook=np.ones(27))]:
        with pytest.raises(ValueError):
            quantize_cq(m, **kwargs)
    quantize_cq(m, bits="ternary", codebook=np.ones(3))  # ternary ignores the codebook
    for bad in [np.ones(16), np.ones((2, 2, 2)), np.ones((0, 8)), np.full((2, 8), np.nan),
                np.array([["a"]])]:
        with pytest.raises(ValueError):
            quantize_cq(bad)
    with pytest.raises(ValueError):
        w.add_f32(np.ones((1, 1, 1, 1, 1)))
    with pytest.raises(ValueError):
        w.add_f16([1.0, 70000.0])  # overflows binary16
    w.add_f16([np.inf, -np.inf])   # explicit infinities are kept
    with pytest.raises(ValueError):
        w.add_raw(2, [1, 2, 3, 4, 5])
    with pytest.raises(ValueError):
        w.add_cq_blob(b"not a blob")
    blob = quantize_cq(m, bits=4, block=8)
    with pytest.raises(ValueError):
        dequantize_cq(blob.data[:-1], 2, 16, 8, 4)
    with pytest.raises(ValueError):
        dequantize_cq(blob.data)  # raw bytes need the shape
    w.set_u32(400, 1)
    with pytest.raises(ValueError):
        w.to_bytes()  # the patch lies past the image


def test_quantiser_details():
    rng = np.random.default_rng(9)
    m = rng.standard_normal((3, 40)).astype(np.float32)
    blob = quantize_cq(m, bits=3, block=16)
    assert isinstance(blob, CqBlob) and blob.shape == (3, 40)
    # codes: 3 rows x 48 padded cols x 3 bits; scales: 3 rows x 3 blocks x 2 bytes
    assert len(blob.data) == 3 * 18 + 3 * 3 * 2
    np.testing.assert_array_equal(dequantize_cq(blob.data + b"junk", 3, 40, 16, 3), dequantize_cq(blob))
    # an all-zero matrix stays zero; a zero row does not disturb the others
    z = np.zeros((2, 8), dtype=np.float32)
    assert not np.any(dequantize_cq(quantize_cq(z, bits=2, block=8)))
    m[1] = 0
    d = dequantize_cq(quantize_cq(m, bits=4, block=16))
    assert not np.any(d[1]) and np.all(np.abs(d[0] - m[0]) < 1)
    # more bits, less error
    errs = [np.mean((dequantize_cq(quantize_cq(m, bits=b, block=16)) - m) ** 2) for b in (2, 3, 4)]
    assert errs[0] > errs[1] > errs[2]
    # a custom codebook from the writer is what add_cq uses and what the container carries
    w = TrovWriter(version=2)
    cb = np.linspace(-2, 2, 28).astype(np.float32)
    w.codebook = cb
    w.add_cq(m, bits=4, block=16)
    parsed = trov_read.parse(w.to_bytes())
    np.testing.assert_array_equal(np.asarray(parsed["codebook"], dtype=np.float32), cb)
    again = trov_read.tensor_values(w.to_bytes(), parsed, 0)
    np.testing.assert_array_equal(again, dequantize_cq(quantize_cq(m, 4, 16, cb), codebook=cb))
