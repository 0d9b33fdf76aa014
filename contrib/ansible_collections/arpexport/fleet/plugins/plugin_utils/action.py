"""What the collection's actions share: their arguments checked, as
Ansible's own actions check theirs, against rules made from their
module's documentation, the one place each option is written; and
refusals given as Ansible's own are, a failed result with its message."""
import functools
import importlib

from ansible.errors import AnsibleActionFail
from ansible.module_utils.common.yaml import yaml_load
from ansible.plugins.action import ActionBase

COLLECTION = "ansible_collections.arpexport.fleet.plugins"
CHECK_MODE = ("a run cannot be shown in check mode: all it does on a host is read its table "
              "through a temporary folder, and on the controller write the run's folder and report")
NOT_PREPARED = ("the run was not prepared on the controller: with --limit, name localhost "
                "too, as in --limit 'web1,localhost'")
# What of an option's documentation Ansible's argument check takes, and
# its name there.
RULE_KEYS = {"type": "type", "default": "default", "required": "required", "elements": "elements",
             "choices": "choices", "no_log": "no_log", "aliases": "aliases", "suboptions": "options"}


class Refused(Exception):
    """An action that will not do what it was asked: its message is the task's."""


def _options(documentation):
    """The options of a DOCUMENTATION text, with those of the collection's
    own documentation fragments that it extends."""
    doc = yaml_load(documentation)
    options = {}
    for fragment in doc.get("extends_documentation_fragment", []):
        namespace, dummy, name = fragment.rpartition(".")
        if namespace == "arpexport.fleet":
            text = importlib.import_module(f"{COLLECTION}.doc_fragments.{name}").ModuleDocFragment.DOCUMENTATION
            options.update(yaml_load(text).get("options") or {})
    options.update(doc.get("options") or {})
    return options


def rules_of(options):
    """The rules of Ansible's argument check for documented options: their
    types, defaults and requirements, suboptions as nested options;
    descriptions left out."""
    rules = {}
    for name, doc in options.items():
        rules[name] = {RULE_KEYS[k]: v for k, v in doc.items() if k in RULE_KEYS}
        if "options" in rules[name]:
            rules[name]["options"] = rules_of(rules[name]["options"])
    return rules


@functools.lru_cache(maxsize=None)
def argument_rules(module):
    """The argument rules of the collection's module of that name."""
    return rules_of(_options(importlib.import_module(f"{COLLECTION}.modules.{module}").DOCUMENTATION))


class Action(ActionBase):
    TRANSFERS_FILES = False
    TAKES_RUN = False  # the run dict that prepare returns, as its run option

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        del tmp
        rules = argument_rules(type(self).__module__.rpartition(".")[2])
        try:
            if self._play_context.check_mode:
                result.update(failed=True, msg=CHECK_MODE)
                return result
            # A run that prepare did not make (a play limited to hosts
            # without localhost) comes as nothing: said so, not as its keys.
            if self.TAKES_RUN and not self._task.args.get("run"):
                raise Refused(NOT_PREPARED)
            dummy, args = self.validate_argument_spec(rules)
            result.update(self.act(args, task_vars or {}))
        except Refused as refusal:
            result.update(failed=True, msg=str(refusal))
            result.update(self.refused(str(refusal), task_vars or {}))
        except AnsibleActionFail as error:  # the arguments' check: its message alone
            result.update(failed=True, msg=error.result.get("msg") or str(error))
            result.update(self.refused(result["msg"], task_vars or {}))
        return result

    def act(self, args, task_vars):
        """The result's fields: what the action did."""
        raise NotImplementedError

    def refused(self, message, task_vars):
        """More of the result's fields for a refusal, once it is dealt with."""
        del message, task_vars
        return {}
