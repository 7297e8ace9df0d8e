#!/usr/bin/python3
"""Apply a rule set after checking it, then keep its counts where
node_exporter's textfile collector reads them.

usage: python-example.py [--check-only] [--textfile DIR] [FILE]
FILE is a rule set (JSON); without it, a small set that keeps SSH open.
Needs root for the apply and the counts (not for --check-only)."""

import argparse
import os
import sys
import tempfile

import zorvane

SSH_ONLY = [
    {"protocol": "tcp", "dports_list": ["22"], "allow": True},
    {"interface": "eth0", "protocol": "icmp", "allow": True},
    {"allow": False},
]


def prometheus(rules: zorvane.Rules, counts: list[zorvane.Count]) -> str:
    lines = ["# HELP zorvane_rule_packets_total Packets the rule decided since the last apply.",
             "# TYPE zorvane_rule_packets_total counter"]
    for count in counts:
        allows, words = rules.rule(count.rule)
        verdict = "allow" if allows else "drop"
        words = words.replace("\\", "\\\\").replace('"', '\\"')
        lines.append(f'zorvane_rule_packets_total{{rule="{count.rule}",verdict="{verdict}",'
                     f'description="{words}"}} {count.packets}')
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?")
    parser.add_argument("--check-only", action="store_true")
    parser.add_argument("--textfile", metavar="DIR")
    args = parser.parse_args()
    text = open(args.file, encoding="utf-8").read() if args.file else SSH_ONLY

    zorvane.enable_ipv6()          # both families: a host filtered on one only is open on the other
    try:
        with zorvane.Rules(text) as rules:
            # 1. The check first: an error finding refuses the set here.
            findings = rules.check()
            errors = [f for f in findings if f.is_error]
            for f in findings:
                print(f"{f.severity}: rule {f.rule} ({f.key or '-'}): {f.message}", file=sys.stderr)
            if errors:
                first = errors[0]
                print(f"refused: rule {first.rule} ({first.key}): {first.message}")
                return 1
            rules.test()           # iptables-restore --test judges the whole file
            if args.check_only:
                print(f"checked: {len(rules)} rules, {len(findings)} warnings; the test run accepts them")
                return 0
            # 2. The apply: one commit per family, all or nothing.
            zorvane.setup()
            rules.apply()
            print(f"applied {len(rules)} rules")
            # 3. The counts, from one listing, as Prometheus text.
            text_out = prometheus(rules, rules.counts_with_bytes())
            if args.textfile:
                # Written beside its place and renamed: the collector never reads half a file.
                with tempfile.NamedTemporaryFile("w", dir=args.textfile, delete=False) as out:
                    out.write(text_out)
                os.replace(out.name, os.path.join(args.textfile, "zorvane_example.prom"))
            else:
                print(text_out, end="")
    except zorvane.TestRefused as refused:
        print(f"the test run refused rule {refused.rule} ({refused.family}): {refused.tool_words or refused}")
        return 1
    except zorvane.RuleSetRefused as refused:
        print(f"refused: rule {refused.rule} ({refused.key}): {refused.message}")
        return 1
    except zorvane.LockTimeout:
        print("another zorvane operation holds the lock; try again")
        return 3
    except zorvane.Error as failure:   # InstallFailed, ChainMismatch, ToolMissing, ...
        print(f"{type(failure).__name__}: {failure} (status {failure.status})")
        return 3
    return 0


if __name__ == "__main__":
    sys.exit(main())
