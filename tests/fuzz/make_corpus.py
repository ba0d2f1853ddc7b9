#!/usr/bin/env python3
"""Writes the seed corpus: a few short call programs in the harness's input
encoding (see run_op in tav_fuzz.cpp), each aimed at one area."""
import os

GROUP, TYPE, POOL, ALLOC, FREE, FREE_OTHER, QUERY, QUERY_POOL, TABLE, SHUTDOWN, MANY = 0, 1, 3, 4, 7, 9, 11, 12, 13, 14, 15
# Indices into the harness's tables.
NAME = {"a": 0, "b": 1, "ipc": 2, "net": 3, "buf": 4, "": 5, "long32": 8, "long33": 9}
BUDGET = {0: 0, 1: 2, 32: 3, 64: 4, 96: 5, 100: 6, 128: 7, 256: 8, 1000: 9, 4096: 10, 65536: 11, -1: 14}
SIZE = {0: 0, 1: 1, 4: 2, 16: 3, 20: 4, 31: 5, 32: 6, 33: 7, 64: 8, 65: 9, 100: 10, 128: 11, 129: 12,
        1000: 13, 4096: 14, 65536: 15, -1: 16, -100: 17}
PSIZE = {4: 0, 8: 1, 16: 2, 20: 3, 32: 4, 48: 5, 64: 6, 128: 8, 65536: 12, 0: 13, 2: 14, 6: 15, -4: 16}
COUNT = {0: 0, 1: 1, 2: 2, 3: 3, 4: 4, 8: 5, 10: 6, 16: 7, -1: 11}


def handle(index, mode=0):
    """A handle byte: mode 0 a handle of the kind, 5 with bits above 31 (one
    more byte follows), 6 of another kind."""
    return [index * 8 + mode] + ([1] if mode == 5 else [])


def group(name, budget=0): return [GROUP, NAME[name], BUDGET[budget]]
def type_(g, name, defsize=0, budget=0): return [TYPE, *handle(g), NAME[name], SIZE[defsize], BUDGET[budget]]
def pool(size, inc=0, mx=0): return [POOL, PSIZE[size], COUNT[inc], COUNT[mx]]
def alloc(t, size, mode=0): return [ALLOC, *handle(t, mode), SIZE[size]]
def free(i, mode=0): return [FREE, i, mode]                  # mode 5: handle with bit 32 flipped
def free_again(i, mode=1): return [FREE_OTHER, 0, i, mode]   # a block released before
def free_null(): return [FREE_OTHER, 1, 0, 0]
def free_foreign(slot, fill): return [FREE_OTHER, 2, slot, 0, fill, 1]
def free_crafted(slot, flags, size, t, magic_ok=True):
    return [FREE_OTHER, 3, slot, 0, flags, 1 if magic_ok else 0, SIZE[size], *handle(t), 1]
def free_inside(i, offset): return [FREE_OTHER, 4, i, offset >> 8, offset & 255, 1]
def query(q, index=0, name="a", size=0, null=None):
    """Query q (0-3 groups, 4-8 types, 9-12 pools); null: which pointer argument is null."""
    pointers = {0: 2, 1: 1, 2: 2, 3: 2, 5: 2, 6: 1, 7: 4, 8: 2, 9: 1, 10: 1, 11: 3, 12: 7}
    sel = next(b for b in range(256) if b % 13 == q and (b >= 128) == (null is not None)
               and (null is None or (b >> 4 & 7) % pointers[q] == null))
    return [QUERY, sel, *handle(index), NAME[name], SIZE[size]]
def alloc_many(t, size, n):
    """n up to 63, or a multiple of 64 up to 4032."""
    return [MANY, n // 32 | 0x80 if n >= 64 else n * 2, *handle(t), SIZE[size]]
def free_many(n): return [MANY, (n // 32 | 0x80 if n >= 64 else n * 2) | 1]
def table(sel, name="a", size=0):
    """sel bit 7: no name filter, bit 6: size 0; the rest picks the table."""
    return [TABLE, sel] + ([] if sel & 128 else [NAME[name]]) + ([] if sel & 64 else [SIZE[size]])


SEEDS = {
    "basic": group("ipc") + type_(0, "buf", 20) + pool(64) + pool(16) + pool(32)
    + alloc(0, 20) + alloc(0, 0) + alloc(0, 65536) + alloc(0, 100) + free(0) + free(0) + free(0)
    + free_again(0) + free_again(1) + free_again(2),
    "budgets": group("a", 100) + type_(0, "b", 32, 96) + type_(0, "buf", 0, 128) + pool(32) + pool(64)
    + alloc(0, 32) + alloc(0, 64) + alloc(0, 32) + alloc(0, 32) + alloc(1, 64) + free(0) + alloc(0, 32)
    + type_(0, "net", 33, 32) + group("a") + group("long32") + group("long33"),
    "mismatch": group("net") + type_(0, "a") + type_(0, "b") + pool(128) + alloc(0, 1) + alloc(1, 129)
    + alloc(0, 4, mode=5) + free(0, 6) + free(2, 5) + free(2, 0) + free(1, 5) + free(1) + free_again(1)
    + free_again(1, 0) + free_null(),
    "foreign": group("a") + type_(0, "a") + pool(64) + alloc(0, 64) + alloc(0, 4096)
    + free_foreign(0, 0) + free_foreign(1, 0xAA) + free_crafted(2, 0, 64, 0) + free_crafted(3, 1, 64, 0)
    + free_crafted(4, 2, 64, 0) + free_crafted(5, 3, 64, 0) + free_crafted(6, 0, 64, 1)
    + free_crafted(7, 0, 0, 0) + free_crafted(8, 0, 4096, 0) + free_crafted(9, 0, 64, 0, magic_ok=False)
    + free_inside(0, 0) + free_inside(1, 100) + free_inside(1, 4000),
    "shutdown": group("ipc") + type_(0, "a", 16) + type_(0, "b") + pool(16) + pool(64) + alloc(0, 0)
    + alloc(1, 64) + alloc(1, 65536) + [SHUTDOWN] + free(0) + free(1) + group("b") + type_(0, "net")
    + type_(0, "buf") + pool(128) + free(0) + free(1) + free(2) + pool(8) + alloc(1, 0) + [SHUTDOWN],
    "queries": group("a", 1000) + group("long33") + type_(1, "buf", 64, 65536) + pool(32, 2, 8)
    + pool(64, 4, 3) + pool(6) + pool(48, 8, 4) + pool(-4) + pool(32, 1, 10)
    + sum((query(q, i, n, z) for q in range(13) for i, n, z in ((0, "a", 32), (1, "long32", 64), (2, "buf", 33))), [])
    + sum((query(q, 0, "a", 32, null=k) for q, k in ((0, 0), (0, 1), (1, 0), (2, 1), (3, 0), (5, 1), (6, 0), (7, 0),
                                                      (7, 1), (7, 2), (7, 3), (8, 1), (9, 0), (10, 0), (11, 2), (12, 3))), [])
    + alloc(0, 33) + sum((query(q, i, "buf", 64) for q in (9, 10, 11, 12) for i in (0, 1, 3)), []),
    "many": group("a") + type_(0, "a") + type_(0, "b") + pool(16) + pool(64) + alloc_many(0, 16, 2240)
    + alloc_many(1, 65, 40) + free_many(1024) + alloc_many(1, 16, 63) + free(0) + free(5, 5) + free_again(0)
    + free_many(1216) + alloc_many(0, 0, 63) + free_again(1) + free_again(2, 0),
    "reuse": group("b") + type_(0, "a") + type_(0, "b") + pool(32) + alloc(0, 32) + free(0) + alloc(0, 32)
    + free_again(0) + alloc(1, 20) + free_again(0) + free(0) + alloc(0, 65536) + free(0) + alloc(0, 65536)
    + free_again(1) + free_again(2) + free(0),
    "tables": group("a") + type_(0, "buf", 16) + pool(16) + pool(128) + alloc(0, 16)
    + sum((table(s, n, z) for s in range(9) for n, z in (("buf", 0), ("b", 16), ("a", 129))), [])
    + table(128 + 6) + table(64 + 7, "buf"),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(here, exist_ok=True)
for name, ops in SEEDS.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(bytes(b & 255 for b in ops))
