#!/usr/bin/env python3
"""Where one kernel's time goes in lavapipe's code, per search candidate.

    bench/profile_kernel.py [--build DIR] [--runs N] KERNEL R T
    KERNEL: "luma runtime", "chroma runtime", "luma fixed" or "chroma fixed"

Runs quenda_kernel_bench on a 1920 x 1080 frame, samples the process with
`perf record -e cpu-clock` while KERNEL runs, saves a core with `gcore`
(lavapipe's compiled code has no symbols and lives only in the process), and
disassembles the hot code with gdb. Prints the instructions of the innermost
loop that holds half the samples (the search's loop over dx in the fixed
forms of small windows, over dy in the runtime forms) per candidate of one
8-lane step (a candidate takes one square root per channel), by class, with
each class's share of the samples. Needs perf (linux-perf) and gdb.
"""
import argparse
import collections
import os
import re
import subprocess
import sys
import tempfile
import time

ORDER = ["luma runtime", "chroma runtime", "luma fixed", "chroma fixed"]
LOAD = ("movslq", "cltq", "vpextrd", "vmovd", "vpinsrw", "movzwl", "vextracti128", "vpmulld", "vpcmpnltud",
        "korb", "knotb", "vpmovm2d", "vpand", "vpandd", "vpandn", "vpmovzxwd", "vcvtdq2ps", "vpgatherdd", "kxnorb",
        "vpsrld", "vpackusdw")
EXP = ("vsqrtps", "vroundps", "vrndscaleps", "vminps", "vmaxps", "vfmadd213ps", "vfmadd231ps", "vcvttps2dq",
       "vpslld")


def classify(op, args):
    if "(%rsp)" in args and op.startswith(("vmov", "mov")):
        return "stack moves (spills)"
    if op in ("vmovaps", "vmovdqa", "vmovdqa64", "vmovdqa32"):
        return "register moves"
    if op == "vblendvps":
        return "loop mask blends"
    if op in LOAD:
        return "texel loads (address, bounds, lanes, conversion)"
    if op in EXP:
        return "sqrt and exp"
    if op in ("vsubps", "vmulps", "vaddps"):
        return "distance and sums"
    return "other"


def sample(build, runs, kernel, space, time_radius, work):
    bench = os.path.join(build, "bin", "quenda_kernel_bench")
    out = open(os.path.join(work, "bench.txt"), "w+")
    proc = subprocess.Popen([bench, str(runs), "1920", "1080", str(space), str(time_radius), "50"], stdout=out,
                            stderr=subprocess.STDOUT)
    before = "kernel " if kernel == ORDER[0] else ORDER[ORDER.index(kernel) - 1]
    while proc.poll() is None and not any(l.startswith(before) for l in open(out.name)):
        time.sleep(0.2)
    time.sleep(0.5)
    data = os.path.join(work, "perf.data")
    perf = subprocess.Popen(["perf", "record", "-q", "-e", "cpu-clock", "-F", "1999", "-p", str(proc.pid), "-o",
                             data], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(2)
    subprocess.run(["gcore", "-o", os.path.join(work, "core"), str(proc.pid)], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    perf.send_signal(2)
    perf.wait()
    proc.kill()
    proc.wait()
    script = subprocess.run(["perf", "script", "-i", data, "-F", "ip,dso"], capture_output=True, text=True).stdout
    hits = collections.Counter(int(l.split()[0], 16) for l in script.splitlines() if "perf-" in l)
    return bench, hits, os.path.join(work, "core.%d" % proc.pid)


def hottest_loop(bench, hits, core):
    low, high = min(hits), max(hits)
    text = subprocess.run(["gdb", "-batch", "-ex", "disassemble 0x%x,0x%x" % (low, high + 16), bench, core],
                          capture_output=True, text=True).stdout
    code = []
    for line in text.splitlines():
        m = re.match(r"\s*0x([0-9a-f]+):\s*(\S+)\s*(.*)", line)
        if m:
            code.append((int(m.group(1), 16), m.group(2), m.group(3)))
    index = {a: i for i, (a, _, _) in enumerate(code)}
    total = sum(hits.values())
    best = None
    for i, (a, op, args) in enumerate(code):
        m = re.match(r"0x([0-9a-f]+)", args)
        if op.startswith("j") and m and int(m.group(1), 16) in index and int(m.group(1), 16) < a:
            body = code[index[int(m.group(1), 16)]:i + 1]
            # The innermost loop that still holds half the samples.
            if 2 * sum(hits[x[0]] for x in body) >= total and (not best or len(body) < len(best)):
                best = body
    if not best:
        sys.exit("profile_kernel: no loop holds half the samples")
    return best, total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("kernel", choices=ORDER)
    parser.add_argument("space", type=int)
    parser.add_argument("time", type=int)
    a = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        bench, hits, core = sample(a.build, a.runs, a.kernel, a.space, a.time, work)
        loop, total = hottest_loop(bench, hits, core)
    count, share = collections.Counter(), collections.Counter()
    for address, op, args in loop:
        c = classify(op, args)
        count[c] += 1
        share[c] += hits[address]
    looped = sum(share.values())
    # Each candidate takes one square root per channel, whatever the compiler
    # unrolled: the count of candidates in one pass of the loop.
    sqrts = sum(1 for _, op, _ in loop if op == "vsqrtps")
    candidates = max(1, sqrts // (2 if a.kernel.startswith("chroma") else 1))
    print("%s at R %d T %d: the hot loop holds %.0f%% of the samples, %d instructions, %.1f per candidate"
          % (a.kernel, a.space, a.time, 100.0 * looped / total, len(loop), len(loop) / candidates))
    for c, n in count.most_common():
        print("  %-50s %5.1f per candidate  %5.1f%% of the loop's samples" % (c, n / candidates,
                                                                             100.0 * share[c] / max(looped, 1)))


if __name__ == "__main__":
    main()
