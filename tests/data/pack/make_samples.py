"""Writes the sample packs of this directory once; the results are committed.

sample.pac is written by this independent model of the format: a chained hash
table (id modulo the bucket count, 193 buckets, growth through the fixed prime
list to the smallest prime at least the new count, relinking bucket by bucket
to the head of each new chain, new entries at the head of their chain), rows
and blocks in its enumeration order. The test replays the same additions and
must produce the same bytes.
"""
import hashlib
import struct
import sys
import zlib

PRIMES = [53, 97, 193, 389, 769, 1543, 3079, 6151, 12289, 24593, 49157,
          98317, 196613, 393241, 786433, 1572869, 3145739, 6291469, 12582917,
          25165843, 50331653, 100663319, 201326611, 402653189, 805306457,
          1610612741, 3221225473, 4294967291]


def ids():
    """The id sequence the test replays (keep the two in step)."""
    x = 12345
    out = []
    for k in range(900):
        if k % 7 == 0:
            out.append((k // 7) * 193 * 389 % 2**32)  # collides in 193 and 389
        else:
            x = (x * 1103515245 + 12345) % 2**31
            out.append(x)
    return out


def contents(i):
    return (b"entry %d " % i) * (i % 50 + 1)


class Table:
    def __init__(self):
        self.buckets = [[] for _ in range(193)]  # each chain head first
        self.count = 0

    def insert(self, entry_id, row):
        chain = self.buckets[entry_id % len(self.buckets)]
        for k, (cid, _) in enumerate(chain):
            if cid == entry_id:
                chain[k] = (entry_id, row)
                return
        if self.count + 1 > len(self.buckets):
            n = next(p for p in PRIMES if p >= self.count + 1)
            fresh = [[] for _ in range(n)]
            for chain in self.buckets:
                for e in chain:
                    fresh[e[0] % n].insert(0, e)
            self.buckets = fresh
        self.buckets[entry_id % len(self.buckets)].insert(0, (entry_id, row))
        self.count += 1

    def entries(self):
        for chain in self.buckets:
            yield from chain


def main(out):
    table = Table()
    for i, entry_id in enumerate(ids()):
        data = contents(i)
        compressed = 1 if i % 3 == 0 else 0
        block = zlib.compress(data) if compressed else data
        table.insert(entry_id, (len(data), compressed, block))
    entries = list(table.entries())
    head = struct.pack("<II", 0, len(entries))
    offset = 8 + 53 * len(entries)
    rows, blocks = b"", b""
    for entry_id, (size, compressed, block) in entries:
        digest = hashlib.md5(block).hexdigest().encode() + b"\0"
        rows += struct.pack("<IIIII", entry_id, offset, size, len(block),
                            compressed) + digest
        offset += len(block)
        blocks += block
    data = head + rows + blocks
    open(f"{out}/sample.pac", "wb").write(data)
    # Cut inside the data area: the table promises more than the file holds.
    open(f"{out}/truncated.pac", "wb").write(data[: len(data) - 100])
    print(len(entries), "entries,", len(table.buckets), "buckets")


main(sys.argv[1] if len(sys.argv) > 1 else ".")
