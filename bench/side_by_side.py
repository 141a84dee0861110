#!/usr/bin/env python3
"""Times the journal's readers side by side on one generated journal and checks the budgets.

For each journal size it runs, in interleaved rounds: `wc -l` (the floor: reading the bytes),
Python's bare `json.loads` of every line (what a user would script instead, over the smaller
journal only), `tovra-trade report --json` and `tovra-trade ask --offline` (which folds the
whole journal before it decides). With both sizes, each round runs both, so the ratio of their
times is taken under the same load. Each figure is the process's own CPU time (user + system) and peak resident memory,
from wait4(2); a time is the best of the rounds, so load from elsewhere on the machine counts
as little as it can. The report's output is checked against the digest that the program gave
before its reader was rewritten, so a faster reader cannot pass by reading differently.

Exits 1 when a digest differs or a budget is missed.
"""

import argparse
import hashlib
import os
import platform
import shutil
import subprocess
import sys
import tempfile

# sha256 of `report --json` over the generated journals, as the earlier reader gave them.
EXPECTED_DIGESTS = {
    1_000_000: "62899dea9250bcc3000a6a362211eb4930f6dc3554d4175225d33c2a98ac2c68",
    10_000_000: "f2ef24fe1f47995a9cd82a3ca4b319a09a415f4954085d9f52dbd1c38a8b1f13",
}

BARE_JSON_LOADS = """
import json, sys
with open(sys.argv[1], "rb") as lines:
    for line in lines:
        json.loads(line)
"""


def run(argv, env):
    """Runs one process; returns (CPU seconds, peak resident bytes, its standard output).

    The command runs under /usr/bin/time, whose report gives its peak memory: a process forked
    from this script would start with the script's own peak as its high-water mark."""
    darwin = platform.system() == "Darwin"
    with tempfile.TemporaryFile() as out, tempfile.NamedTemporaryFile("r") as usage:
        timed = ["/usr/bin/time", "-l" if darwin else "-f%M", "-o", usage.name] + argv
        pid = os.posix_spawn(timed[0], timed, env,
                             file_actions=[(os.POSIX_SPAWN_DUP2, out.fileno(), 1)])
        _, status, rusage = os.wait4(pid, 0)
        if os.waitstatus_to_exitcode(status) not in (0, 1):
            sys.exit(f"bench: {' '.join(argv)} failed ({status})")
        out.seek(0)
        output = out.read()
        text = usage.read()
    if darwin:  # "  <bytes>  maximum resident set size"
        peak = next(int(l.split()[0]) for l in text.splitlines() if "maximum resident" in l)
    else:  # kilobytes
        peak = int(text.split()[-1]) * 1024
    # The CPU time of time(1) and the command together; time(1) itself takes next to nothing.
    return rusage.ru_utime + rusage.ru_stime, peak, output


def journal(generator, data, events):
    path = os.path.join(data, f"journal-{events}.jsonl")
    if not os.path.exists(path):
        print(f"generating {events:,} events ...", flush=True)
        subprocess.run([generator, str(events), path + ".part"], check=True,
                       stdout=subprocess.DEVNULL)
        os.replace(path + ".part", path)
    return path


def home_with(path, scratch, name):
    """A scratch home whose default account's journal is `path` (linked, not copied)."""
    home = os.path.join(scratch, name)
    state = os.path.join(home, "var", "trade")
    os.makedirs(state, exist_ok=True)
    link = os.path.join(state, "journal.jsonl")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.path.abspath(path), link)
    return home


def commands_for(tovra, path, scratch, name, with_python):
    """The commands timed over one journal, by name; ask works on a copy (it appends a line)."""
    env = dict(os.environ, ALPACA_ACCOUNT="default", TOVRA_HOME=home_with(path, scratch, name))
    ask_journal = os.path.join(scratch, f"ask-{name}.jsonl")
    shutil.copyfile(path, ask_journal)
    ask_env = dict(os.environ, ALPACA_ACCOUNT="default",
                   TOVRA_HOME=home_with(ask_journal, scratch, f"ask-{name}"))
    subprocess.run([tovra, "rules", "--init"], env=ask_env, check=True, stdout=subprocess.DEVNULL)
    commands = {"wc -l": (["wc", "-l", path], os.environ)}
    if with_python:
        commands["python json.loads"] = ([sys.executable, "-c", BARE_JSON_LOADS, path], os.environ)
    commands["report --json"] = ([tovra, "report", "--json"], env)
    # A canned answer, so no owner is ever asked whatever the rules say.
    commands["ask --offline"] = ([tovra, "ask", "--symbol", "AAPL", "--notional", "1500",
                                  "--offline", "--equity", "100000", "--verdict", "denied",
                                  "--why", "bench", "--by", "bench"], ask_env)
    return commands


def measure(journals, rounds):
    """The best CPU time and the peak memory of each command over each journal, and each
    report's digest. Every round runs every command over every journal, so a change of load on
    the machine weighs on all the figures alike."""
    best = {events: {} for events in journals}
    digests = {}
    for _ in range(rounds):
        for events, commands in journals.items():
            for name, command in commands.items():
                seconds, peak, output = run(*command)
                if name == "report --json":
                    digests[events] = hashlib.sha256(output).hexdigest()
                old = best[events].get(name)
                best[events][name] = (min(seconds, old[0]) if old else seconds,
                                      max(peak, old[1]) if old else peak)
    return best, digests


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True, help="the build folder (Release)")
    parser.add_argument("--data", required=True, help="where generated journals are kept")
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds (default 5)")
    parser.add_argument("--ten-million", action="store_true",
                        help="also time ten million events (2.7 GB of journal, minutes)")
    args = parser.parse_args()

    tovra = os.path.join(args.build, "cli", "tovra-trade")
    generator = os.path.join(args.build, "bench", "journal_generator")
    os.makedirs(args.data, exist_ok=True)
    sizes = [1_000_000] + ([10_000_000] if args.ten_million else [])
    failed = []
    with tempfile.TemporaryDirectory() as scratch:
        paths = {events: journal(generator, args.data, events) for events in sizes}
        # Python takes minutes over the larger journal and its figure is only compared on the
        # smaller one, so it runs there alone.
        journals = {events: commands_for(tovra, path, scratch, str(events), events == sizes[0])
                    for events, path in paths.items()}
        best, digests = measure(journals, args.rounds)
    results = {events: (os.path.getsize(paths[events]), best[events]) for events in sizes}
    for events in sizes:
        if digests[events] != EXPECTED_DIGESTS.get(events):
            failed.append(f"report --json over {events:,} events: digest {digests[events]}, "
                          f"expected {EXPECTED_DIGESTS.get(events)}")

    for events, (size, best) in results.items():
        print(f"\n{events:,} events ({size / 1e6:.0f} MB)")
        print(f"  {'':<20}{'CPU':>9}{'peak memory':>14}")
        for name, (seconds, peak) in best.items():
            print(f"  {name:<20}{seconds:>8.3f}s{peak / 1e6:>11.1f} MB")

    def check(ok, text):
        print(f"  {'ok  ' if ok else 'MISS'} {text}")
        if not ok:
            failed.append(text)

    print("\nbudgets")
    size, best = results[sizes[0]]
    report, ask = best["report --json"], best["ask --offline"]
    python, wc = best["python json.loads"], best["wc -l"]
    check(report[0] <= 0.25 * python[0],
          f"report {report[0]:.3f}s <= 0.25 x python {python[0]:.3f}s "
          f"({report[0] / python[0]:.2f}x)")
    check(report[0] < 10 * wc[0], f"report {report[0]:.3f}s < 10 x wc -l {wc[0]:.3f}s "
          f"({report[0] / wc[0]:.1f}x)")
    for name, (_, peak) in (("report", report), ("ask", ask)):
        check(peak <= size / 4, f"{name} peak {peak / 1e6:.1f} MB <= a quarter of the file "
              f"{size / 4e6:.1f} MB")
    if len(sizes) > 1:
        big = results[sizes[1]][1]["report --json"][0]
        check(big <= 11 * report[0], f"report over 10x the events {big:.3f}s <= 11 x "
              f"{report[0]:.3f}s ({big / report[0]:.1f}x)")
    for text in failed:
        if "digest" in text:
            print(f"  MISS {text}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
