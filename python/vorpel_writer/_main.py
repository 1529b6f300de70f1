"""The command line the writer modules share: `--realistic OUT` and/or `--random OUT`."""
from __future__ import annotations

import argparse
import time


def writer_main(argv, prog: str, description: str, metavar: str, write_realistic, write_random,
                unit: str = "bytes") -> int:
    """write_realistic(path, seed=...) returns the size written (in `unit`);
    write_random(path, seed) writes a small random model and returns a line describing it."""
    ap = argparse.ArgumentParser(prog=prog, description=description)
    ap.add_argument("--realistic", metavar=metavar, help="benchmark-size model")
    ap.add_argument("--random", metavar=metavar, help="small random model")
    ap.add_argument("--seed", type=int, default=0)
    a = ap.parse_args(argv)
    if not (a.realistic or a.random):
        ap.error(f"give --realistic {metavar} or --random {metavar}")
    t0 = time.time()
    if a.realistic:
        n = write_realistic(a.realistic, seed=a.seed)
        print(f"wrote {a.realistic}: {n} {unit} in {time.time() - t0:.1f} s")
    if a.random:
        print(f"wrote {a.random}: {write_random(a.random, a.seed)}")
    return 0


def container_random_writer(random_container):
    """write_random for the container generations: random_container(seed) has .data and .geom."""
    def write(path, seed: int) -> str:
        r = random_container(seed)
        with open(path, "wb") as f:
            f.write(r.data)
        return f"{len(r.data)} bytes, {r.geom}"
    return write
