"""The collection's actions, built as a play's task builds them."""
import pytest
from ansible.playbook.play_context import PlayContext
from ansible.playbook.task import Task

from ansible_collections.arpexport.fleet.tests.unit.plugins.stand_ins import Host


@pytest.fixture(name="make_action")
def action_builder():
    def make(module, args, connection=None, check_mode=False):
        """module's ActionModule for a task with args."""
        task = Task()
        task.args = args
        task.action = "arpexport.fleet." + module.__name__.rpartition(".")[2]
        play = PlayContext()
        play.check_mode = check_mode
        return module.ActionModule(task, connection or Host("/nonexistent"), play, loader=None, templar=None,
                                   shared_loader_obj=None)
    return make
