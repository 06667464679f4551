# SPDX-License-Identifier: GPL-2.0-or-later
"""Standard output for the tests: every task's result per host and the
recap, as one JSON document (the shape of ansible.posix's json callback)."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import time

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = """
name: results_json
type: stdout
short_description: every result and the recap as JSON, for the tests
description: every task's result per host and the recap, as one JSON document
"""


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "stdout"
    CALLBACK_NAME = "results_json"

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.plays = []

    def v2_playbook_on_play_start(self, play):
        self.plays.append({"play": {"name": play.get_name()}, "tasks": []})

    def v2_playbook_on_task_start(self, task, is_conditional):
        self.plays[-1]["tasks"].append({"task": {"name": task.get_name()}, "hosts": {},
                                        "started": time.monotonic()})

    def _record(self, result, **extra):
        entry = dict(result._result)
        entry.update(extra)
        # Seconds from the task's start to this host's result, for the benchmark.
        entry["_seconds"] = time.monotonic() - self.plays[-1]["tasks"][-1]["started"]
        self.plays[-1]["tasks"][-1]["hosts"][result._host.get_name()] = entry

    def v2_runner_on_ok(self, result):
        self._record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, failed=True)

    def v2_runner_on_skipped(self, result):
        self._record(result, skipped=True)

    def v2_runner_on_unreachable(self, result):
        self._record(result, unreachable=True)

    def v2_playbook_on_stats(self, stats):
        summary = {host: stats.summarize(host) for host in sorted(stats.processed)}
        self._display.display(json.dumps({"plays": self.plays, "stats": summary}, default=str))
