"""What the collection's actions share: their arguments checked against
their ARGS, as Ansible's own actions check theirs, before they act."""
from ansible.plugins.action import ActionBase


class Action(ActionBase):
    TRANSFERS_FILES = False
    ARGS = {}

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        del tmp
        _, args = self.validate_argument_spec(argument_spec=self.ARGS)
        result.update(self.act(args, task_vars or {}))
        return result

    def act(self, args, task_vars):
        """The result's fields: what the action did."""
        raise NotImplementedError
