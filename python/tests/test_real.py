"""The package on the real tools, inside the sandbox that tests/python.sh
makes (its own network namespace, with the peer namespace peer3 on eth3):
an apply, counts after real packets, refusals that change nothing."""

import os
import subprocess

import pytest

import zorvane

pytestmark = pytest.mark.skipif(os.environ.get("ZVN_PY_REAL") != "1",
                                reason="runs in the sandbox only (tests/python.sh)")

RULES = [
    {"interface": "eth3", "src_IP_cidr": "10.0.3.100/32", "protocol": "icmp", "allow": False},
    {"interface": "eth3", "protocol": "icmp", "allow": True},
    {"allow": True},
]


def pings(source: str, count: int) -> int:
    done = subprocess.run(["ip", "netns", "exec", "peer3", "ping", "-n", "-q", "-c", str(count), "-i", "0.2",
                           "-W", "1", "-I", source, "10.0.3.254"], capture_output=True, text=True)
    for part in done.stdout.split(","):
        if "received" in part:
            return int(part.split()[0])
    return -1


@pytest.fixture(scope="module", autouse=True)
def chain():
    zorvane.enable_ipv6()
    zorvane.setup()
    yield


def test_apply_then_counts_after_real_packets():
    zorvane.apply(RULES)
    assert pings("10.0.3.100", 3) == 0
    assert pings("10.0.3.5", 2) == 2
    # Only a connection's first packet meets the chain: the second echo of
    # an answered ping is established; every dropped one is new again.
    assert zorvane.counts(RULES) == [3, 1, 0]
    assert zorvane.counts(RULES, snapshot=False) == [3, 1, 0]
    with zorvane.Rules(RULES) as rules:
        counted = rules.counts_with_bytes()
        assert [c.packets for c in counted] == [3, 1, 0]
        assert counted[0].bytes == 3 * 84  # an echo request of ping's default size
        assert rules.verify()["ipv4"]["holds"]
    state = zorvane.status()
    assert state["ipv4"]["chain"] and state["ipv4"]["hooks"] == 1


def test_a_set_the_tool_refuses_raises_and_changes_nothing():
    zorvane.apply(RULES)
    before = zorvane.chain_text()
    refused = RULES[:1] + [{"interface": "x" * 20, "allow": True}] + RULES[1:]
    with pytest.raises(zorvane.TestRefused) as raised:
        zorvane.apply(refused)
    assert raised.value.rule == 2
    assert raised.value.status != 0
    assert raised.value.family == "ipv4"
    assert zorvane.chain_text() == before


def test_counts_of_another_set_raise_the_mismatch():
    zorvane.apply(RULES)
    with pytest.raises(zorvane.ChainMismatch) as raised:
        zorvane.counts([{"allow": False}])
    assert "rule 1" in raised.value.message


def test_a_chain_text_goes_back_in():
    zorvane.apply(RULES)
    kept = zorvane.chain_text()
    zorvane.apply([{"allow": True}])
    zorvane.install_chain_text(kept)
    assert zorvane.verify(RULES)["ipv4"]["holds"]
    with pytest.raises(zorvane.ChainTextRefused):
        zorvane.install_chain_text("*nat\n-A PREROUTING -j ACCEPT\nCOMMIT\n")
