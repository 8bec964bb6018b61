#!/usr/bin/env python3
"""Writes docs/PERFORMANCE.md and docs/ROBUSTNESS.md from the output of the runs that
scripts/benchmark.sh and scripts/robustness.sh make. Every figure in the documents comes
from those outputs; nothing here is a measured value.

    write-report.py performance FIGURES.tsv OUT.md [RUN_DIR...]
    write-report.py robustness RESULTS_DIR OUT.md

The folder of FIGURES.tsv and RESULTS_DIR hold a file "started": the time (UTC) and
/proc/loadavg at the start of the run (the benchmark's also "finished", at its end).
Two or more RUN_DIRs, each holding a run's figures.tsv, started and finished, add to the
performance report how each ratio moved from run to run.

Exit status 0 when written; for robustness, 3 when written and a check failed.
"""

import csv
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPORTS = ("docs/PERFORMANCE.md", "docs/ROBUSTNESS.md")


def command_output(*args):
    try:
        return subprocess.run(args, cwd=ROOT, capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def machine(results_dir):
    """(label, value) rows describing where and on what the figures were taken. The run's
    script leaves the load average and the time at its start in results_dir."""
    models, logical = [], 0
    cores_per_socket, sockets = None, set()
    with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
        for line in cpuinfo:
            key, _, value = line.partition(":")
            key, value = key.strip(), value.strip()
            if key == "processor":
                logical += 1
            elif key == "model name" and value not in models:
                models.append(value)
            elif key == "cpu cores":
                cores_per_socket = int(value)
            elif key == "physical id":
                sockets.add(value)
    cores = f"{logical} logical"
    if cores_per_socket:
        cores += f", {cores_per_socket * max(len(sockets), 1)} physical"
    with open(os.path.join(results_dir, "started"), encoding="utf-8") as started:
        start_time, *load = started.read().split()
    load = " ".join(load[:3])
    commit = command_output("git", "rev-parse", "--short=12", "HEAD") or "unknown"
    changes = command_output("git", "status", "--porcelain", "--", ".", *[f":!{report}" for report in REPORTS])
    if changes:
        commit += " with uncommitted changes"
    return [
        ("CPU", "; ".join(models) or "unknown"),
        ("Cores", cores),
        ("Load average (1, 5, 15 min) before the run", load),
        ("Kernel", command_output("uname", "-sr")),
        ("Wine", command_output("wine", "--version")),
        ("Compiler", "mingw-w64 GCC " + (command_output("x86_64-w64-mingw32-g++-posix", "-dumpfullversion") or "?")),
        ("Run started (UTC)", start_time),
        ("Commit", commit),
    ]


def machine_table(results_dir):
    lines = ["| | |", "|---|---|"]
    lines += [f"| {label} | {value} |" for label, value in machine(results_dir)]
    return "\n".join(lines)


def cell(text):
    return text.replace("|", "\\|") if text else ""


def with_quartiles(figure, key):
    """A figure's median and, when it has them, its quartiles: "898 (885–912)"."""
    median, low, high = figure[key], figure[f"{key}_low"], figure[f"{key}_high"]
    return f"{median} ({low}–{high})" if median and low and high else median


def load_average(path):
    """The 1-minute load average recorded in a run's "started" or "finished" file."""
    with open(path, encoding="utf-8") as source:
        return source.read().split()[1]


def steadiness(run_dirs):
    """Lines on how each ratio moved over consecutive runs; none for fewer than two."""
    if len(run_dirs) < 2:
        return []
    ratios = {}
    for run_dir in run_dirs:
        with open(os.path.join(run_dir, "figures.tsv"), encoding="utf-8", newline="") as source:
            for figure in csv.DictReader(source, delimiter="\t"):
                if figure["ratio"]:
                    ratios.setdefault(figure["figure"], []).append(float(figure["ratio"]))
    numbers = range(1, len(run_dirs) + 1)
    lines = [
        "## From run to run",
        "",
        f"{len(run_dirs)} runs in a row (`scripts/benchmark.sh --runs {len(run_dirs)}`), the figures above "
        "from the last: each ratio in each run, and the largest of them over the smallest.",
        "",
        "| Figure | " + " | ".join(f"Run {number}" for number in numbers) + " | Largest / smallest |",
        "|---|" + "---:|" * len(run_dirs) + "---:|",
        "| Load average (1 min) before / after | "
        + " | ".join(
            f"{load_average(os.path.join(run_dir, 'started'))} / {load_average(os.path.join(run_dir, 'finished'))}"
            for run_dir in run_dirs
        )
        + " | |",
    ]
    for label, values in ratios.items():
        spread = f"{max(values) / min(values):.2f}" if len(values) == len(run_dirs) else "(missing in a run)"
        lines.append(f"| {cell(label)} | " + " | ".join(f"{value:.2f}" for value in values) + f" | {spread} |")
    return lines + [""]


def performance(figures_path, out_path, run_dirs=()):
    results_dir = os.path.dirname(figures_path)
    with open(figures_path, encoding="utf-8", newline="") as source:
        figures = list(csv.DictReader(source, delimiter="\t"))
    judged = [figure for figure in figures if figure["result"]]
    missed = [figure for figure in judged if figure["result"] != "met"]
    finished = os.path.join(results_dir, "finished")
    load_after = ""
    if os.path.exists(finished):
        with open(finished, encoding="utf-8") as source:
            load_after = " ".join(source.read().split()[1:4])

    lines = [
        "# Performance",
        "",
        "Generated by `scripts/benchmark.sh` from "
        + (f"the last of {len(run_dirs)} runs" if len(run_dirs) > 1 else "one run")
        + " of `qvnnapcfg_bench.exe` under Wine; do not edit by hand. Run the command again to bring it "
        "up to date.",
        "",
        machine_table(results_dir),
        "",
    ]
    if load_after:
        lines += [f"Load average (1, 5, 15 min) after the run: {load_after}.", ""]
    lines += [
        "## Figures",
        "",
        "Each timed figure is measured beside its reference in the same run, in pairs of short "
        "repetitions: one of the component and one of the reference side by side, the order swapping "
        "from pair to pair, so that both sides of a pair see the same load on the machine (which other "
        "work shares) and neither always runs in the wake of the other. Both sides are warmed up "
        "alike first. A value is the median of its repetitions, with their lower and upper quartiles "
        "in brackets: half of the repetitions lie between the two. The ratio is the median of the "
        "pairs' ratios (each pair's component over its reference), with their quartiles; the pairs "
        "column gives the number of pairs. A repetition is kept well below the few milliseconds the "
        "system gives a thread at a time (a dialog takes longer): the few that other work interrupts "
        "then stand out from the many that ran through, instead of each repetition being interrupted "
        "or not by chance and the median of a few falling on either side. The out-of-process figures "
        "are taken with the benchmark and both servers on one processor (see below).",
        "",
        "| Figure | Value | Unit | Reference | Reference value | Ratio | Pairs | Target | Result |",
        "|---|---:|---|---|---:|---:|---:|---|---|",
    ]
    for figure in figures:
        row = [
            figure["figure"],
            with_quartiles(figure, "value"),
            figure["unit"],
            figure["reference"],
            with_quartiles(figure, "reference_value"),
            with_quartiles(figure, "ratio"),
            figure["pairs"],
            figure["target"],
            figure["result"],
        ]
        lines.append("| " + " | ".join(cell(text) for text in row) + " |")
    lines += [
        "",
        "## Targets",
        "",
    ]
    if missed:
        lines.append(f"{len(judged) - len(missed)} of {len(judged)} targets met. Missed:")
        lines.append("")
        lines += [f"- {figure['figure']}: {figure['ratio'] or figure['value']} against {figure['target']}" for figure in missed]
    else:
        lines.append(f"All {len(judged)} targets met.")
    lines += [
        "",
        "- Loading: `LoadLibrary` of the DLL may take at most the factor in its target column times "
        "that of an empty DLL built by the same toolchain, with the same options and layout "
        "(`bench/EmptyDll.cpp`). The DLL's imports are loaded first and kept, as in a host's process, "
        "so that both figures are the cost of the DLL itself. The DLL ships without its debug "
        "information (which goes into `qvnnapcfg64.dll.debug` beside it) and with its sections "
        "page-aligned in the file (`cmake/ShippedBinary.cmake`): Wine maps every section of an image "
        "on each load, and reads those that are not page-aligned into fresh memory, so the debug "
        "sections, several times the size of the code, made each load cost a multiple of an empty "
        "DLL's.",
        "- Warm paths: the warm `DllGetClassObject` and `GetConfig` may take at most the factor in "
        "their target column times their physical floor: for `DllGetClassObject` an interlocked "
        "increment of one shared count (on two threads, both threads incrementing the same count at "
        "once), for `GetConfig` a `CoTaskMemAlloc` of 532 bytes, the copy into it and the host's "
        "`CoTaskMemFree`. A lock or a heap allocation on these paths would cost a multiple of that floor.",
        "- Counted targets: while the warm `DllGetClassObject` is measured, the DLL makes no "
        "allocation and takes no lock; `GetConfig` makes no registry call; `SetConfig` opens one key, "
        "writes five values and closes the key, reading nothing. The calls are counted by putting "
        "counting stand-ins into the DLL's own import table with the runtime's `ApiHook` "
        "(`tests/support/ImportCallCounter.cpp`): registry functions of advapi32, allocators of "
        "msvcrt, kernel32 and ole32, and the lock and wait functions of kernel32.",
        "- Against the platform's own: `CoCreateInstance` and `Release` of `SHVConfig` may take at most "
        "the factor in its target column times the same of Wine's URL security manager (urlmon.dll, an "
        "in-process class whose creation also only allocates a small object); `InvokeUI` at most that "
        "factor times the same dialog template shown by `DialogBoxIndirectParamW` with an empty "
        "procedure (each timed from the call to the end of `WM_INITDIALOG`, then cancelled); out of "
        "process, `GetConfig` and `SetConfig` at most that factor times the platform's own call of the "
        "same shape there (see below). Each does what its reference does and a little more, so a "
        "ratio near 1 is what the code should give, and one well below 1 would be the measurement's.",
        "- The other figures have no target; their references say what the platform itself takes "
        "for the same work: an empty DLL's `FreeLibrary`, and the same registry writes made directly "
        "for `SetConfig` and `DllRegisterServer`.",
        "",
    ]
    lines += boundary_cost(figures)
    lines += steadiness(run_dirs)
    with open(out_path, "w", encoding="utf-8") as out:
        out.write("\n".join(lines))


def boundary_cost(figures):
    """Lines on what crossing the process boundary costs, from the out-of-process figures and
    their in-process counterparts; none when the run has no out-of-process figures."""
    by_label = {figure["figure"]: figure for figure in figures}
    pairs = [
        ("GetConfig", "GetConfig out of process, the DLL in the surrogate", "GetConfig (and CoTaskMemFree of its block)"),
        ("SetConfig", "SetConfig out of process, the DLL in the surrogate", "SetConfig"),
    ]
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}
    found = []
    for name, remote_label, local_label in pairs:
        remote, local = by_label.get(remote_label), by_label.get(local_label)
        if not remote or not local or not remote["value"] or not local["value"]:
            continue
        remote_us = float(remote["value"]) * scale[remote["unit"]]
        local_us = float(local["value"]) * scale[local["unit"]]
        reference_us = float(remote["reference_value"]) * scale[remote["unit"]]
        found.append(
            f"`{name}` takes {remote_us:,.0f} us out of process against {local_us:,.{2 if local_us < 10 else 0}f} us "
            "in process: "
            f"crossing the process boundary adds {remote_us - local_us:,.0f} us to each call, "
            f"{remote_us / local_us:,.0f} times the call in process. The platform's own call of the same "
            f"shape ({remote['reference']}) takes {reference_us:,.0f} us, so out of process the component's "
            f"call costs {remote['ratio']} times what any call of its shape costs there."
        )
    if not found:
        return []
    return [
        "## Across the process boundary",
        "",
        "A console without administrator rights has the DLL loaded into the system's COM surrogate "
        "(`dllhost.exe`), and every call crosses the process boundary through the proxy/stub of "
        "`INapComponentConfig`. Under Wine that takes the tests' own proxy/stub (`tests/proxy`) and the "
        "64-bit surrogate named in the class's AppID; the benchmark registers both for the run. The "
        "reference is the platform's own `ILockBytes` on global memory, with the platform's own proxy/stub, "
        "in the single-threaded apartment of a second process that the benchmark starts: Wine hosts "
        "`SHVConfig` in a single-threaded apartment of the surrogate as well, so both calls take the same "
        "route, and `ReadAt` carries 532 bytes back as `GetConfig` does, `WriteAt` 532 bytes there as "
        "`SetConfig` does. The client is the benchmark's main (single-threaded) apartment in both cases.",
        "",
        "A call crosses from the client to a server's process and back through several threads (the "
        "client's, the server's receiving thread, the server's apartment, and Wine's server process "
        "between each), and what it costs depends on whether they hand over on one processor or wake "
        "one another across processors. Where the system puts each process's threads is its own "
        "choice, which lasts for seconds and need not be the same for the surrogate as for the "
        "reference's server. With the processes free to move, the ratio of `GetConfig` to `ReadAt` went "
        "from 0.64 to 1.43 between runs on a quiet machine (with few long repetitions), and from 0.87 "
        "to 1.13 between three runs under a load of 10 on two processors (with the pairs as now); on "
        "one processor, seven runs under that load gave 0.88 to 0.96. So the benchmark, and with it "
        "the two servers it starts (a process inherits the processors its creator may use), runs on "
        "one processor while these figures are taken; Wine's server stays free. `GetConfig` comes "
        "out a little below 1 in every run: the platform's `ReadAt`, route and all, costs a little "
        "more than `GetConfig`.",
        "",
    ] + [f"- {line}" for line in found] + [""]


def load_results(results_dir):
    """{suite.test: {status, time, properties}} from every gtest JSON file in the folder."""
    results = {}
    for name in sorted(os.listdir(results_dir)):
        if not name.endswith(".json"):
            continue
        with open(os.path.join(results_dir, name), encoding="utf-8") as source:
            report = json.load(source)
        for suite in report.get("testsuites", []):
            for test in suite.get("testsuite", []):
                standard = {"name", "file", "line", "status", "result", "timestamp", "time", "classname", "failures"}
                properties = {key: value for key, value in test.items() if key not in standard}
                failures = test.get("failures") if isinstance(test.get("failures"), list) else []
                results[f"{suite['name']}.{test['name']}"] = {
                    "passed": test.get("result") == "COMPLETED" and not failures,
                    "time": test.get("time", ""),
                    "failures": [failure.get("failure", "") for failure in failures],
                    "properties": properties,
                }
    return results


def number(value):
    try:
        return f"{int(value):,}"
    except (TypeError, ValueError):
        return str(value)


# What the soak works around, so that whoever meets the backtrace below finds its cause.
WINE_PROXY_MANAGER_RACE = [
    "## Wine 8's proxy-manager race",
    "",
    "The soak used to crash now and then in Wine's COM, not in the "
    "component. In a multi-threaded apartment Wine keeps one proxy manager for each object of "
    "another apartment, and every unmarshaling of that object (each `CoCreateInstance` or "
    "`CoGetClassObject` that hands out a proxy, for one) looks the manager up in the apartment's "
    "list (`find_proxy_manager` in combase) and takes it if `IMultiQI::AddRef` returns non-zero. "
    "Wine 8.0's `ClientIdentity_AddRef` returns the new count, which is never 0: when one thread "
    "releases the last proxy of the object (the count falls to 0, and the thread goes on to unlink "
    "and free the manager) while another thread looks the manager up, the second raises the count "
    "from 0 to 1 and takes it, the first frees it, and the second then calls through freed memory. "
    "Later Wine versions take a manager only if its count was not 0. "
    "(`x86_64-w64-mingw32-objdump -d /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/combase.dll | "
    "sed -n '/<ClientIdentity_AddRef>:/,+8p'` shows the `lock xadd` and the +1.)",
    "",
    "Threads 1 to 3 of the soak meet it on two managers. They create the \"Neutral\" class from the "
    "multi-threaded apartment, which Wine 8 serves from the main apartment: each creation unmarshals "
    "a proxy to the one class factory, calls `CreateInstance` through it and releases it, so all "
    "those proxies share the factory's manager; and each proxy that gives back its references "
    "unmarshals the main apartment's `IRemUnknown`, whose manager all of them share too.",
    "",
    "Its signature in a backtrace (Wine's debugger writes it on standard error; the program ends with "
    "status 5): an access violation in combase, mostly on a thread of the multi-threaded apartment, "
    "while several of its threads create or release proxies to objects of one other apartment, in "
    "one of these forms:",
    "",
    "- `page fault on write access to 0x0000000000000028` in `ClientIdentity_Release`, called by "
    "`IUnknown_Release_Proxy` from `CoCreateInstanceEx` or from `proxy_manager_destroy`;",
    "- `page fault on read access to 0x0000000000000000` in `CoCreateInstanceEx`, calling "
    "`IClassFactory_CreateInstance` through the freed factory proxy;",
    "- a read fault at a wild address in `ifproxy_get_public_ref` or `unmarshal_object`, under "
    "`CoUnmarshalInterface` called by `apartment_hostobject_in_hostapt` (the factory proxy being "
    "unmarshaled into the freed manager);",
    "- `page fault on execute access` to 0 or to a heap address, a call through a freed table of "
    "methods, often with no frame the debugger can name, or returning into `unmarshal_object`;",
    "- `page fault on read access to 0xffffffffffffffff` in `ifproxy_release_public_refs` or "
    "`proxy_manager_get_remunknown` (the `IRemUnknown` manager);",
    "- on the main apartment's thread, `page fault on read access to 0xffffffffffffffff` in "
    "`unmarshal_ORPCTHIS` under `rpc_execute_call` and `apartment_wndproc`: a call that came "
    "through a freed proxy.",
    "",
    "Now and then the race leaves the program hanging instead.",
    "",
    "The way around it is to keep each shared manager's count above 0 for as long as threads create: "
    "before its threads start, the soak takes one proxy to the class factory with "
    "`CoGetClassObject` in the multi-threaded apartment and holds it to the end, and has that proxy "
    "ask the factory for an interface it has not seen (`IClassFactory2`), for which it fetches the "
    "`IRemUnknown` proxy and keeps it for its own life. Holding the factory proxy alone is not "
    "enough: the `IRemUnknown` manager still races. Wine keeps one reference to the factory for "
    "that `CoGetClassObject`, as for each creation it hosts, and the soak counts it. A host that "
    "creates such a class from several threads of a multi-threaded apartment under Wine 8 can do "
    "the same.",
    "",
    "`scripts/robustness.sh --wine-proxy-race [RUNS]` reproduces the race without any of the "
    "component's code (`tests/platform/`): a server with one \"Neutral\" class, and three threads of "
    "the multi-threaded apartment that create it for 10 seconds and keep what they create (which "
    "makes the apartment's list of managers long and the race quick to show), first holding "
    "nothing, then the factory proxy, then the factory proxy with its `IRemUnknown`. It prints how "
    "many runs of each way crashed; a run that holds both must never crash.",
    "",
]


def robustness(results_dir, out_path):
    results = load_results(results_dir)
    with open(os.path.join(results_dir, "scale"), encoding="utf-8") as source:
        scale = source.read().strip()

    def entry(test):
        return results.get(test, {"passed": False, "time": "", "failures": ["did not run"], "properties": {}})

    def prop(test, key):
        return entry(test)["properties"].get(key, "?")

    # A test that crashed or never ran left no properties: its row says "?" and fails.
    def seconds(value):
        try:
            return f"{float(value):.0f}"
        except (TypeError, ValueError):
            return str(value)

    soak = "SoakTest.EightThreadsShareObjects"
    loads = "ComponentLoadTest.TwoThousandLoadsAndUnloadsLeaveNothingBehind"
    counts = "SHVConfigFuzzTest.EveryCountButTheBlobSizeIsRefusedUntouched"
    random_blobs = "SHVConfigFuzzTest.RandomBlobs"
    near_valid = "SHVConfigFuzzTest.NearValidBlobs"
    value_types = "SHVSettingsFuzzTest.EveryValueTypeAndSizeInEachValue"
    registrar = "RegScriptFuzzTest.MutatedModuleScripts"

    private_before = int(prop(loads, "private_bytes_before")) if prop(loads, "private_bytes_before") != "?" else None
    private_most = int(prop(loads, "private_bytes_most")) if prop(loads, "private_bytes_most") != "?" else None
    private_after = int(prop(loads, "private_bytes_after")) if prop(loads, "private_bytes_after") != "?" else None

    rows = [
        (
            "Soak",
            f"{prop(soak, 'threads')} threads for {seconds(prop(soak, 'seconds'))} s: "
            f"{number(prop(soak, 'main_apartment_creations'))} objects created by `CoCreateInstance` in the "
            f"main apartment, {number(prop(soak, 'multithreaded_creations'))} from the multi-threaded "
            f"apartment (proxies), {number(prop(soak, 'factory_creations'))} through the class factory, "
            f"{number(prop(soak, 'reads'))} `GetConfig`, {number(prop(soak, 'writes'))} `SetConfig` applied, "
            f"{number(prop(soak, 'refused_writes'))} refused or ignored, "
            f"{number(prop(soak, 'queries'))} `QueryInterface` rounds, "
            f"{number(prop(soak, 'reference_changes'))} `AddRef`/`Release`, "
            f"{number(prop(soak, 'drops'))} objects dropped; "
            f"{number(prop(soak, 'proxy_calls'))} of the calls through proxies",
            f"{number(prop(soak, 'torn_reads'))} torn reads, {number(prop(soak, 'misanswered_calls'))} calls "
            "answered otherwise than documented; the registry holds the blob applied last; "
            "`DllCanUnloadNow` = `S_OK` afterwards, once the references Wine keeps on the class factory "
            "(exactly one per creation it hosted for the multi-threaded apartment) are given back",
            soak,
        ),
        (
            "Load and unload",
            f"{number(prop(loads, 'cycles'))} `LoadLibrary`/`FreeLibrary` cycles in one process",
            f"handles {number(prop(loads, 'handles_before'))} before, {number(prop(loads, 'handles_after'))} after; "
            + (
                f"private bytes {number(private_before)} before, at most {number(private_most)} during, "
                f"{number(private_after)} after"
                if private_before is not None
                else "private bytes not measured"
            ),
            loads,
        ),
        (
            "SetConfig counts",
            f"{number(prop(counts, 'counts'))} counts (all of 0 to 65535 at full scale)",
            "532 applied, every other count `E_FAIL` with the caller's bytes untouched; "
            "GetConfig and the key as modelled after each",
            counts,
        ),
        (
            "Random blobs",
            f"{number(prop(random_blobs, 'blobs'))} random 532-byte blobs "
            f"({number(prop(random_blobs, 'applied'))} of them with version 1)",
            "GetConfig and the key as modelled after each, and after a fresh load",
            random_blobs,
        ),
        (
            "Near-valid blobs",
            f"{number(prop(near_valid, 'blobs'))} blobs of version 1 with random names (0 to 256 units) "
            f"and numbers; {number(prop(near_valid, 'fresh_loads'))} fresh loads of the DLL in between",
            "GetConfig and the key as modelled after each, and the record read back from the registry "
            "after each fresh load",
            near_valid,
        ),
        (
            "Value types and sizes",
            f"{number(prop(value_types, 'cases'))} cases: {number(prop(value_types, 'value_types'))} value types "
            f"x {number(prop(value_types, 'sizes'))} sizes (0 to 4100 bytes) in each of the five values, "
            "and each value absent",
            "the record as modelled after each read; the key holds exactly what was written; "
            "the record's final write as modelled",
            value_types,
        ),
        (
            "Registrar",
            f"{number(prop(registrar, 'scripts'))} mutated registration scripts, register and unregister pass; "
            f"{number(prop(registrar, 'failed_registrations_taken_back'))} failed registrations taken back",
            "every result one the registrar documents; a failed registration leaves nothing that "
            "unregistering its root block would remove",
            registrar,
        ),
    ]
    failed = [name for _, _, _, name in rows if not entry(name)["passed"]]

    lines = [
        "# Robustness",
        "",
        "Generated by `scripts/robustness.sh` from the soak, the load cycles and the fuzz tests run "
        f"at `QVN_FUZZ_SCALE={scale}`; do not edit by hand. Run the command again to bring it up to date.",
        "",
        machine_table(results_dir),
        "",
        "## Results",
        "",
        "| Check | What ran | Checked | Result | Seconds |",
        "|---|---|---|---|---:|",
    ]
    for title, ran, checked, name in rows:
        result = "passed" if entry(name)["passed"] else "FAILED"
        seconds = entry(name)["time"].rstrip("s")
        lines.append(f"| {title} | {cell(ran)} | {cell(checked)} | {result} | {seconds} |")
    lines += ["", "All checks passed." if not failed else f"{len(failed)} checks failed: {', '.join(failed)}."]
    for name in failed:
        lines += ["", f"### {name}", "", "```"]
        lines += [failure[:2000] for failure in entry(name)["failures"]]
        lines += ["```"]
    lines += [
        "",
        "## How each check works",
        "",
        "- Soak (`tests/NAP/qvnnapcfg/SoakTest.cpp`): eight threads share objects through pools, each "
        "slot holding a reference of its own, and mix creation, `GetConfig`, `SetConfig` (valid, wrong "
        "size, other version), `QueryInterface`, `AddRef`/`Release` and dropping objects. Every blob "
        "written is derived from one number, so a read mixed from two writes cannot pass. The threads "
        "start together and each creates the way a host would, in the apartment a host would use. "
        "Thread 0 is the process's main apartment, single-threaded for the whole run, as a console's "
        "main thread is: it creates through `CoCreateInstance`, which Wine answers there with the object "
        "itself (checked), and between its actions it pumps its messages. Threads 1 to 3 live in the "
        "multi-threaded apartment and create through `CoCreateInstance` too: Wine creates the \"Neutral\" "
        "class in the main apartment and hands them a proxy (through the tests' proxy/stub of "
        "`INapComponentConfig`, `tests/proxy`; Windows ships its own), so each call on such a proxy is "
        "carried to thread 0 and runs there. Threads 4 to 7 live in the multi-threaded apartment and "
        "create through the class factory from `DllGetClassObject`. The objects themselves are shared by "
        "all threads and called directly from any of them; the proxies are shared by the multi-threaded "
        "threads. No apartment ever waits for one that does not pump, so no thread needs a baton to "
        "create. While the threads run, the test holds one proxy to the class factory in the "
        "multi-threaded apartment, to keep clear of Wine 8's proxy-manager race (below). At the end, "
        "Wine's extra references to the class factory (one for each creation it hosted for the "
        "multi-threaded apartment and one for that proxy, which it never gives back) are counted, must "
        "be exactly that many, and are given back before `DllCanUnloadNow` is asked.",
        "- Load and unload (`tests/runtime/ComponentLoadTest.cpp`): handles are counted through the "
        "system's handle list, since Wine's `GetProcessHandleCount` answers 0; private bytes are the "
        "committed private regions of the address space, since Wine leaves `PrivateUsage` at 0. Modules "
        "and TLS indexes are compared as well. Each cycle used to leak the emergency exception pool of the "
        "C++ runtime linked into the DLL, which that runtime allocates when the DLL loads and frees "
        "only on request; the module now frees it as its last step at unload "
        "(`NAP/qvnnapcfg/ModuleLifetime.cpp`).",
        "- Blob and value fuzzing (`SHVConfigFuzzTest.cpp`, `SHVSettingsFuzzTest.cpp` in "
        "`tests/NAP/qvnnapcfg/`): fixed seeds; after each call, `GetConfig`, the record and the "
        "settings key are compared with a model written from the rules of the blob and of the "
        "settings store, not with the component's own output. Where those rules leave a choice, the "
        "model follows the component's: a name that fills its 256 units without a NUL is taken whole "
        "(and cut to 255 in the blob), and a name value of an odd number of bytes is read up to its "
        "last whole code unit. Values are written with two non-NUL bytes after their data, so that "
        "the registry stores exactly the bytes given.",
        "- Registrar fuzzing (`RegScriptFuzzTest.cpp`): one to three token or character mutations of "
        "the module's registration script, from a fixed seed, run through the registrar in both "
        "passes against a scratch `HKEY_CLASSES_ROOT`; every result must be one the registrar "
        "documents, and after a failed register pass, running the unregister pass of the failing "
        "root block again must find nothing left to remove.",
        "",
    ] + WINE_PROXY_MANAGER_RACE
    with open(out_path, "w", encoding="utf-8") as out:
        out.write("\n".join(lines))
    return not failed


def main():
    if len(sys.argv) >= 4 and sys.argv[1] == "performance":
        performance(sys.argv[2], sys.argv[3], sys.argv[4:])
        return 0
    if len(sys.argv) == 4 and sys.argv[1] == "robustness":
        return 0 if robustness(*sys.argv[2:]) else 3
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
