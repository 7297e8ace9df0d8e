"""The package without root: nothing here runs a tool or changes the packet
filter (check, describe, restore text, parsing and its refusals)."""

import json

import pytest

import zorvane

SSH_ONLY = [{"protocol": "tcp", "dports_list": ["22"], "allow": True}, {"allow": False}]


@pytest.mark.parametrize("rules", [
    json.dumps(SSH_ONLY),
    json.dumps(SSH_ONLY).encode(),
    SSH_ONLY,
])
def test_a_rule_set_is_taken_as_text_bytes_or_a_list(rules):
    assert zorvane.describe(rules) == ["tcp ports 22 on any interface but lo", "all on any interface but lo"]
    assert "-A ZORVANE ! -i lo -p tcp -m multiport --dports 22 -j ACCEPT" in zorvane.restore_text(rules)


@pytest.mark.parametrize("rules, cls, rule, key", [
    ('[{"allow":true},', zorvane.NotJson, 0, ""),
    ('[{"protocol":"tcp","allow":"yes"}]', zorvane.RuleSetRefused, 1, "allow"),
    ('[{"allow":true},{"protocol":"tcp","allow":1}]', zorvane.RuleSetRefused, 2, "allow"),
    ('[{"allow":true,"colour":"red"}]', zorvane.RuleSetRefused, 1, "colour"),
    (b'[{"allow":true}]\0[{"allow":false}]', zorvane.RuleSetRefused, 0, ""),
])
def test_a_refused_set_raises_with_its_rule_and_key(rules, cls, rule, key):
    with pytest.raises(cls) as raised:
        zorvane.Rules(rules)
    assert raised.value.rule == rule
    assert raised.value.key == key
    assert raised.value.code == cls.code
    assert raised.value.message


def test_the_findings_are_dataclasses_naming_rule_and_key():
    findings = zorvane.check([{"protocol": "tcp", "dports_list": ["ssh"], "allow": True},
                              {"src_IP_cidr": "10.0.0.1/24", "allow": False}])
    errors = [f for f in findings if f.is_error]
    assert [(f.rule, f.key, f.code) for f in errors] == [(1, "dports_list", "bad-port")]
    assert any(f.code == "host-bits" and f.rule == 2 and not f.is_error for f in findings)
    with zorvane.Rules(SSH_ONLY) as rules:
        assert rules.check() == []
        assert len(rules) == 2
        assert rules.rule(1) == (True, "tcp ports 22 on any interface but lo")
        with pytest.raises(zorvane.InvalidArgument):
            rules.rule(3)


def test_buffers_grow_to_what_the_library_needs():
    # Far more than the first buffer: findings and descriptions of 20,000 rules.
    big = [{"src_IP_cidr": f"10.{i // 256 % 256}.{i % 256}.1/24", "allow": False} for i in range(20000)]
    findings = zorvane.check(big)
    assert len(findings) >= 20000
    assert len(zorvane.restore_text(big)) > 1 << 20


def test_switches_refuse_what_they_do_not_know():
    with pytest.raises(zorvane.InvalidArgument):
        zorvane.set_layout("sideways")
    with pytest.raises(zorvane.InvalidArgument):
        zorvane.set_log_limit(10001)
    with pytest.raises(zorvane.InvalidArgument):
        zorvane.set_country_source("guess")
    with pytest.raises(zorvane.InvalidArgument):
        zorvane.setup("middle")


def test_every_error_is_a_zorvane_error():
    for cls in (zorvane.NotJson, zorvane.TestRefused, zorvane.InstallFailed, zorvane.ChainMismatch,
                zorvane.LockTimeout, zorvane.ToolMissing):
        assert issubclass(cls, zorvane.Error)
    assert issubclass(zorvane.TestRefused, zorvane.RuleSetRefused)
    assert issubclass(zorvane.ToolMissing, zorvane.ToolFailed)
