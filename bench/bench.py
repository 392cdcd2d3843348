"""Tarnwick's benchmark: bulk copy, many entries and start-up, against dd and a scripted patcher.

Started by bench/run, which builds the program first. Makes every input in a scratch folder under
/tmp and removes it at the end. Prints one table, then where each goal stands. Exits 1 when a tool
fails or Tarnwick's output or the bytes it leaves are wrong; timings never fail the run.
"""

import argparse
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
COPY_CHUNK_SIZE = 61440
LIST_READ_SIZE = 128
OUTPUT_BLOCK_SIZE = 128
HERE = os.path.dirname(os.path.abspath(__file__))


class BenchFailure(Exception):
    """A tool failed or left wrong output: the benchmark itself is broken."""


# --- Running commands ---------------------------------------------------------------------------

def resolve(program):
    path = shutil.which(program)
    if path is None:
        raise BenchFailure(f"{program} not found")
    return path


def spawn(argv, stdout_path=None):
    """Runs argv in the current folder, standard input from /dev/null and standard output to
    stdout_path (a regular file, so that Tarnwick hands over whole blocks) or /dev/null. Returns
    the wall time and the CPU time (user and system, the process's children included) in seconds.
    posix_spawn keeps the harness's own cost small next to a short run."""
    actions = [(os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0)]
    if stdout_path is None:
        actions.append((os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0))
    else:
        actions.append((os.POSIX_SPAWN_OPEN, 1, stdout_path,
                        os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644))
    start = time.perf_counter_ns()
    try:
        pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    except OSError as error:
        raise BenchFailure(f"cannot start {argv[0]}: {error.strerror}") from error
    _, status, usage = os.wait4(pid, 0)
    elapsed = (time.perf_counter_ns() - start) / 1e9
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        raise BenchFailure(f"{' '.join(argv)} ended with status {code}")
    return elapsed, usage.ru_utime + usage.ru_stime


def peak_rss_kib(argv, scratch, stdout_path=None):
    """Peak resident memory in KiB as GNU time's %M reports it."""
    report = os.path.join(scratch, "time.out")
    spawn(["/usr/bin/time", "-f", "%M", "-o", report] + argv, stdout_path)
    with open(report) as f:
        return int(f.read().split()[-1])


def syscall_counts(argv, scratch, stdout_path=None):
    """System calls of the whole process tree (start-up included), by name, from strace -c -f."""
    report = os.path.join(scratch, "strace.out")
    spawn([resolve("strace"), "-f", "-c", "-o", report] + argv, stdout_path)
    counts = {}
    with open(report) as f:
        for line in f:
            fields = line.split()
            # % time, seconds, usecs/call, calls, [errors], name
            if len(fields) >= 5 and re.fullmatch(r"[\d.]+", fields[0]) and fields[3].isdigit():
                counts[fields[-1]] = int(fields[3])
    if "total" not in counts:
        raise BenchFailure(f"no strace summary for {' '.join(argv)}")
    return counts


def rounds(tools, repetitions, before_each=None):
    """Median wall and CPU times of each tool over repetitions rounds; each round runs every tool
    once, the order turned by one place a round so that no tool always runs first."""
    names = list(tools)
    walls = {name: [] for name in names}
    cpus = {name: [] for name in names}
    for r in range(repetitions):
        for name in names[r % len(names):] + names[:r % len(names)]:
            if before_each:
                before_each()
            argv, stdout_path = tools[name]
            wall, cpu = spawn(argv, stdout_path)
            walls[name].append(wall)
            cpus[name].append(cpu)
    return ({name: statistics.median(values) for name, values in walls.items()},
            {name: statistics.median(values) for name, values in cpus.items()})


# --- Inputs and checks --------------------------------------------------------------------------

def write_file(name, size, block_maker):
    with open(name, "wb") as f:
        written = 0
        while written < size:
            block = block_maker(min(MIB, size - written))
            f.write(block)
            written += len(block)


def write_random(name, size):
    write_file(name, size, os.urandom)


def write_zeros(name, size):
    # Written, not truncated to size: a sparse target would allocate blocks during the first run.
    write_file(name, size, bytes)


def files_equal(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            block_a, block_b = fa.read(MIB), fb.read(MIB)
            if block_a != block_b:
                return False
            if not block_a:
                return True


def check_output(tool, stdout_path, expected):
    with open(stdout_path, "rb") as f:
        output = f.read()
    if output != expected:
        shown = output if len(output) < 400 else output[:200] + b" ... " + output[-200:]
        raise BenchFailure(f"{tool} wrote an unexpected output: {shown!r}")
    if not output.endswith(b"Successfully patched!\r\n"):
        raise BenchFailure(f"{tool} did not end with the success line")


def check_bytes(tool, ok):
    if not ok:
        raise BenchFailure(f"{tool} left the target with wrong bytes")


def ok_line(offset, size):
    return b"OK: Patched at offset %d; bytes: %d\r\n" % (offset, size)


SUCCESS_LINE = b"Successfully patched!\r\n"


def check_transfer_bounds(program, scratch):
    """Runs one forward patch under strace and checks the transfer sizes that the program
    promises: copies of at most CopyChunkSize bytes, list reads of at most 128 bytes, and standard
    output (a file) handed over in whole 128-byte blocks, only the last one shorter."""
    folder = os.path.join(scratch, "bounds")
    os.mkdir(folder)
    os.chdir(folder)
    big = 2 * COPY_CHUNK_SIZE + 1
    target_size = big + 64 * 40
    write_zeros("target.bin", target_size)
    write_random("big.bin", big)
    write_random("small.bin", 64)
    with open("list.txt", "w") as f:
        f.write(f"{target_size}\n0\nbig.bin\n")
        for i in range(40):
            f.write(f"{big + 64 * i}\nsmall.bin\n")
    trace = os.path.join(folder, "trace.out")
    spawn([resolve("strace"), "-qq", "-s", "0", "-o", trace,
           "-e", "trace=openat,read,write,pread64,pwrite64", program, "target.bin", "list.txt"],
          "out.txt")
    list_fd, copies, list_reads, output_writes = None, [], [], []
    # With -s 0 a buffer shows as ""..., so the count is the first number after it.
    call = re.compile(r"(\w+)\((\d+), [^,]*, (\d+)(?:, \d+)?\)\s+= (-?\d+)")
    with open(trace) as f:
        for line in f:
            opened = re.match(r'openat\(AT_FDCWD, "list\.txt", .*\) = (\d+)', line)
            if opened:
                list_fd = int(opened.group(1))
                continue
            m = call.match(line)
            # Before the list is open, the transfers are the dynamic loader's.
            if not m or list_fd is None:
                continue
            name, fd, asked = m.group(1), int(m.group(2)), int(m.group(3))
            if name in ("pread64", "pwrite64"):
                copies.append(asked)
            elif name == "read" and fd == list_fd:
                list_reads.append(asked)
            elif name == "write" and fd == 1:
                output_writes.append(asked)
    expected_copies = [COPY_CHUNK_SIZE, COPY_CHUNK_SIZE, 1] * 2 + [64] * 80
    if sorted(copies) != sorted(expected_copies):
        raise BenchFailure(f"copy transfers were {copies}, expected chunks of at most "
                           f"{COPY_CHUNK_SIZE}")
    if not list_reads or max(list_reads) > LIST_READ_SIZE:
        raise BenchFailure(f"list reads asked for {list_reads}")
    if not output_writes or any(n != OUTPUT_BLOCK_SIZE for n in output_writes[:-1]) \
            or output_writes[-1] > OUTPUT_BLOCK_SIZE:
        raise BenchFailure(f"standard output was written as {output_writes}")
    expected = ok_line(0, big) + b"".join(ok_line(big + 64 * i, 64) for i in range(40))
    check_output("Tarnwick", "out.txt", expected + SUCCESS_LINE)
    os.chdir(scratch)
    shutil.rmtree(folder)


# --- The three cases ----------------------------------------------------------------------------

def row(case, tool, wall, cpu, rate, rss_kib, speed, per_entry="—", per_entry_net="—"):
    return {"case": case, "tool": tool, "wall": wall, "cpu": cpu, "rate": rate, "rss": rss_kib,
            "speed": speed, "per_entry": per_entry, "per_entry_net": per_entry_net}


def bulk_case(program, size, repetitions, scratch):
    folder = os.path.join(scratch, "bulk")
    os.mkdir(folder)
    os.chdir(folder)
    write_random("data.bin", size)
    write_zeros("target.bin", size)
    with open("list.txt", "w") as f:
        f.write(f"{size}\n0\ndata.bin\n")
    dd = resolve("dd")
    tools = {
        "Tarnwick": ([program, "target.bin", "list.txt"], "out.txt"),
        "dd bs=61440 conv=notrunc": (
            [dd, "if=data.bin", "of=target.bin", "bs=61440", "conv=notrunc", "status=none"], None),
        "dd bs=1M conv=notrunc": (
            [dd, "if=data.bin", "of=target.bin", "bs=1M", "conv=notrunc", "status=none"], None),
    }
    # Each tool once onto a fresh target: the check, and the warm-up of the page cache.
    for name, (argv, stdout_path) in tools.items():
        write_zeros("target.bin", size)
        os.sync()
        spawn(argv, stdout_path)
        check_bytes(name, files_equal("target.bin", "data.bin"))
    check_output("Tarnwick", "out.txt", ok_line(0, size) + SUCCESS_LINE)
    # Written-back pages before every run, so that no run pays for an earlier one's dirty pages.
    medians, cpus = rounds(tools, repetitions, before_each=os.sync)
    check_output("Tarnwick", "out.txt", ok_line(0, size) + SUCCESS_LINE)
    check_bytes("the last bulk round", files_equal("target.bin", "data.bin"))
    case = f"Bulk copy, {size // MIB} MiB"
    reference = medians["dd bs=61440 conv=notrunc"]
    rows = []
    for name, (argv, stdout_path) in tools.items():
        rss = peak_rss_kib(argv, scratch, stdout_path)
        rows.append(row(case, name, medians[name], cpus[name],
                        f"{size / MIB / medians[name]:,.0f} MiB/s", rss,
                        medians[name] / medians["Tarnwick"]))
    os.chdir(scratch)
    shutil.rmtree(folder)
    return rows, {"throughput_ratio": reference / medians["Tarnwick"],
                  "cpu_ratio": cpus["dd bs=61440 conv=notrunc"] / cpus["Tarnwick"],
                  "rss_kib": rows[0]["rss"], "size": size}


DD_LOOP = """\
# Writes each entry of the list named by $1 with one dd call: pairs of lines after the size line.
{ read -r size
  while read -r offset && read -r name; do
    dd if="$name" of=target.bin bs=64 seek="$offset" oflag=seek_bytes conv=notrunc status=none \\
      || exit 1
  done
} < "$1"
"""


def many_case(program, python, entries, slice_entries, repetitions, scratch):
    folder = os.path.join(scratch, "many")
    os.mkdir(folder)
    os.chdir(folder)
    target_size = 16 * MIB
    stride = target_size // entries // 64 * 64
    contents = os.urandom(64 * entries)
    names = [f"d{i:05d}.bin" for i in range(entries)]
    for i, name in enumerate(names):
        with open(name, "wb") as f:
            f.write(contents[64 * i:64 * (i + 1)])

    def write_list(list_name, count):
        with open(list_name, "w") as f:
            f.write(f"{target_size}\n")
            f.writelines(f"{i * stride}\n{names[i]}\n" for i in range(count))

    def expected_target(count):
        target = bytearray(target_size)
        for i in range(count):
            target[i * stride:i * stride + 64] = contents[64 * i:64 * (i + 1)]
        return bytes(target)

    def target_is(expected):
        with open("target.bin", "rb") as f:
            return f.read() == expected

    write_list("list.txt", entries)
    write_list("slice.txt", slice_entries)
    write_list("empty.txt", 0)
    with open("ddloop.sh", "w") as f:
        f.write(DD_LOOP)
    bash = resolve("bash")
    script = os.path.join(HERE, "scripted_patcher.py")
    full_output = b"".join(ok_line(i * stride, 64) for i in range(entries)) + SUCCESS_LINE

    tarnwick = "Tarnwick"
    python_name = "python3 script"
    dd_name = f"dd loop ({slice_entries:,}-entry slice, scaled)"
    tools = {
        tarnwick: ([program, "target.bin", "list.txt"], "out.txt"),
        python_name: ([python, script, "target.bin", "list.txt"], "out-python.txt"),
        dd_name: ([bash, "ddloop.sh", "slice.txt"], None),
    }
    empty_runs = {
        tarnwick: [program, "target.bin", "empty.txt"],
        python_name: [python, script, "target.bin", "empty.txt"],
        dd_name: [bash, "ddloop.sh", "empty.txt"],
    }
    counted = {tarnwick: entries, python_name: entries, dd_name: slice_entries}

    # Each tool once onto a fresh target, checked: the same work, byte for byte.
    for name, (argv, stdout_path) in tools.items():
        write_zeros("target.bin", target_size)
        spawn(argv, stdout_path)
        check_bytes(name, target_is(expected_target(counted[name])))
    check_output(tarnwick, "out.txt", full_output)
    check_output(python_name, "out-python.txt", full_output)

    medians, cpus = rounds(tools, repetitions)
    check_output(tarnwick, "out.txt", full_output)
    check_bytes("the last many-entries round", target_is(expected_target(entries)))

    case = f"Many entries, {entries:,} x 64 B"
    per_entry_time = {name: medians[name] / counted[name] for name in tools}
    per_entry_cpu = {name: cpus[name] / counted[name] for name in tools}
    rows, breakdown = [], {}
    for name, (argv, stdout_path) in tools.items():
        counts = syscall_counts(argv, scratch, stdout_path)
        empty = syscall_counts(empty_runs[name], scratch, stdout_path)
        per_entry = counts["total"] / counted[name]
        net = (counts["total"] - empty["total"]) / counted[name]
        if name == tarnwick:
            breakdown = {call: (n - empty.get(call, 0)) / counted[name]
                         for call, n in counts.items() if call != "total"}
        rss = peak_rss_kib(argv, scratch, stdout_path)
        rows.append(row(case, name, per_entry_time[name] * entries,
                        per_entry_cpu[name] * entries,
                        f"{1 / per_entry_time[name]:,.0f} entries/s", rss,
                        per_entry_time[name] / per_entry_time[tarnwick],
                        f"{per_entry:.2f}", f"{net:.2f}"))
    check_output(tarnwick, "out.txt", full_output)
    os.chdir(scratch)
    shutil.rmtree(folder)
    return rows, {"syscalls_net": float(rows[0]["per_entry_net"]),
                  "syscalls_all": float(rows[0]["per_entry"]),
                  "python_ratio": rows[1]["speed"],
                  "python_cpu_ratio": per_entry_cpu[python_name] / per_entry_cpu[tarnwick],
                  "breakdown": breakdown}


def startup_case(program, probes, repetitions, scratch):
    folder = os.path.join(scratch, "startup")
    os.mkdir(folder)
    os.chdir(folder)
    write_zeros("target.bin", 16)
    with open("list.txt", "w") as f:
        f.write("16\n")
    tools = {"Tarnwick": ([program, "target.bin", "list.txt"], "out.txt")}
    for label, path in probes:
        tools[f"Tarnwick, probe build {label}"] = ([path, "target.bin", "list.txt"], "out.txt")
    # The same kind of standard output for both, a file emptied at each start.
    tools["/bin/true"] = (["/bin/true"], "out-true.txt")
    for name, (argv, stdout_path) in tools.items():
        spawn(argv, stdout_path)
        if name.startswith("Tarnwick"):
            check_output(name, stdout_path, SUCCESS_LINE)
    medians, cpus = rounds(tools, repetitions)
    case = "Start-up, size line only"
    rows = []
    for name, (argv, stdout_path) in tools.items():
        counts = syscall_counts(argv, scratch, stdout_path)
        rss = peak_rss_kib(argv, scratch, stdout_path)
        rows.append(row(case, name, medians[name], cpus[name],
                        f"{1 / medians[name]:,.0f} runs/s", rss,
                        medians[name] / medians["Tarnwick"], f"{counts['total']} in all"))
    os.chdir(scratch)
    shutil.rmtree(folder)
    probe_ratios = [(label, medians[f"Tarnwick, probe build {label}"] / medians["/bin/true"])
                    for label, _ in probes]
    return rows, {"true_ratio": medians["Tarnwick"] / medians["/bin/true"],
                  "probe_ratios": probe_ratios, "rss_kib": rows[0]["rss"]}


# --- Report -------------------------------------------------------------------------------------

def show_time(seconds):
    if seconds >= 1:
        return f"{seconds:.3f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.0f} µs"


def machine_line():
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        memory_kib = int(f.readline().split()[1])
    tmp_fs = subprocess.run(["df", "--output=fstype", "/tmp"], capture_output=True, text=True,
                            check=False).stdout.split()[-1]
    return (f"Machine: {os.cpu_count()} CPUs ({cpu}), {memory_kib / MIB:.1f} GiB memory, "
            f"Linux {platform.release()}, /tmp on {tmp_fs}")


def cpu_pressure():
    """The share of the last minute in which some runnable task waited for a CPU: the other work
    on the machine that the timings shared it with. None where the kernel does not tell."""
    try:
        with open("/proc/pressure/cpu") as f:
            fields = dict(item.split("=") for item in f.readline().split()[1:])
        return float(fields["avg60"])
    except (OSError, KeyError, ValueError):
        return None


def print_table(rows):
    header = ["Case", "Tool", "Median wall", "Median CPU", "Rate (wall)", "Syscalls/entry",
              "Syscalls/entry less start-up", "Peak RSS", "Tarnwick faster by (wall)"]
    lines = [header, ["---"] * len(header)]
    for r in rows:
        lines.append([r["case"], r["tool"], show_time(r["wall"]), show_time(r["cpu"]), r["rate"],
                      r["per_entry"],
                      r["per_entry_net"], f"{r['rss'] / 1024:.2f} MiB", f"{r['speed']:.2f}x"])
    for line in lines:
        print("| " + " | ".join(line) + " |")


def verdict(met):
    return "met" if met else "MISSED"


def print_goals(bulk, many, startup):
    print()
    print("Goals (judged on wall time; the CPU-time figure beside it is less disturbed by other")
    print("work on the machine):")
    ratio = bulk["throughput_ratio"]
    print(f"- Bulk throughput at least 0.95 of dd bs=61440's: {ratio:.3f} "
          f"(CPU: {bulk['cpu_ratio']:.3f}) — {verdict(ratio >= 0.95)}")
    worst_rss = max(bulk["rss_kib"], startup["rss_kib"])
    print(f"- Peak RSS under 4 MiB whatever the size: {bulk['rss_kib'] / 1024:.2f} MiB copying "
          f"{bulk['size'] // MIB} MiB, {startup['rss_kib'] / 1024:.2f} MiB on an empty list — "
          f"{verdict(worst_rss < 4096)}")
    every = many["syscalls_all"]
    print(f"- At most 9 system calls per Forward entry: {every:.2f} an entry with start-up, "
          f"{many['syscalls_net']:.2f} without — {verdict(every <= 9)}")
    shown = ", ".join(f"{call} {n:.2f}" for call, n in
                      sorted(many["breakdown"].items(), key=lambda item: -item[1]) if n >= 0.005)
    print(f"  Tarnwick's calls an entry, start-up subtracted: {shown}")
    python_ratio = many["python_ratio"]
    print(f"- At least 5x the python3 script's entries per second: {python_ratio:.2f}x "
          f"(CPU: {many['python_cpu_ratio']:.2f}x) — {verdict(python_ratio >= 5)}")
    true_ratio = startup["true_ratio"]
    probes = "".join(f"; probe build {label}: {r:.2f}x" for label, r in startup["probe_ratios"])
    print(f"- Start-up within 2x /bin/true: {true_ratio:.2f}x{probes} — {verdict(true_ratio <= 2)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True, help="the Release build of tarnwick")
    parser.add_argument("--small", action="store_true", help="small inputs, few repetitions")
    parser.add_argument("--probe", action="append", default=[], metavar="LABEL=PATH",
                        help="another build of tarnwick to time at start-up")
    options = parser.parse_args()
    program = os.path.abspath(options.program)
    probes = [(label, os.path.abspath(path))
              for label, path in (p.rsplit("=", 1) for p in options.probe)]
    # The interpreter itself, not a launcher in front of it (a version manager's shim is a
    # shell script that would more than double the script's start-up).
    python = sys.executable
    if options.small:
        bulk_size, bulk_reps, entries, slice_entries, many_reps, startup_reps = (
            16 * MIB, 3, 1000, 200, 3, 50)
    else:
        bulk_size, bulk_reps, entries, slice_entries, many_reps, startup_reps = (
            1024 * MIB, 9, 20000, 1000, 9, 500)

    pressure_before = cpu_pressure()
    scratch = tempfile.mkdtemp(prefix="tarnwick-bench-", dir="/tmp")
    try:
        os.chdir(scratch)
        print("== checking transfer sizes", file=sys.stderr)
        check_transfer_bounds(program, scratch)
        print("== bulk copy", file=sys.stderr)
        bulk_rows, bulk = bulk_case(program, bulk_size, bulk_reps, scratch)
        print("== many entries", file=sys.stderr)
        many_rows, many = many_case(program, python, entries, slice_entries, many_reps, scratch)
        print("== start-up", file=sys.stderr)
        startup_rows, startup = startup_case(program, probes, startup_reps, scratch)
    except BenchFailure as failure:
        print(f"bench: FAILED: {failure}", file=sys.stderr)
        return 1
    finally:
        os.chdir("/")
        shutil.rmtree(scratch, ignore_errors=True)

    print(machine_line())
    pressure_after = cpu_pressure()
    if pressure_before is not None and pressure_after is not None:
        print(f"CPU pressure (share of the last minute that a runnable task waited for a CPU): "
              f"{pressure_before:.0f}% at the start, {pressure_after:.0f}% at the end")
    print(f"Mode: {'small' if options.small else 'full'}; medians of {bulk_reps} bulk, "
          f"{many_reps} many-entries and {startup_reps} start-up rounds, tools alternating")
    print()
    print_table(bulk_rows + many_rows + startup_rows)
    print_goals(bulk, many, startup)
    return 0


if __name__ == "__main__":
    sys.exit(main())
