# Copyright 2026 The arpexport developers. All rights reserved.
"""Checks the programs a run will send, and makes the run's folder."""
import json
import os
import tempfile

from ansible_collections.arpexport.fleet.plugins.plugin_utils import host, release, run_folder
from ansible_collections.arpexport.fleet.plugins.plugin_utils.action import Action, Refused
from ansible_collections.arpexport.fleet.plugins.plugin_utils.text import shown

COLLECTION = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def collection_version():
    try:
        with open(os.path.join(COLLECTION, "MANIFEST.json"), encoding="utf-8") as f:
            return json.load(f)["collection_info"]["version"]
    except (OSError, ValueError, KeyError, TypeError):
        return "from its sources"


class ActionModule(Action):
    def act(self, args, task_vars):
        if not args["release_dir"]:
            return self._start(args, *self._programs(args, ""))
        # A release's files are read once, into a folder of this pass's own,
        # and checked and unpacked from there, before the run's folder is made.
        try:
            private = tempfile.TemporaryDirectory(prefix="arpexport-release.")
        except OSError as error:
            raise Refused(f"cannot make a folder for the release's files: {error.strerror}") from None
        with private:
            return self._start(args, *self._programs(args, private.name))

    @staticmethod
    def _start(args, note, source, programs, staged):
        """The run's folder made, or found, with the programs for this pass;
        where that fails, the programs staged for it are removed."""
        root = os.path.abspath(args["tables_dir"])
        try:
            if args["run"]:
                name = args["run"]
                folder = run_folder.existing_run(root, name)
            else:
                name = run_folder.new_run(root)
                folder = os.path.join(root, name)
        except ValueError as error:
            run_folder.remove_programs(staged)
            raise Refused(str(error)) from None
        except OSError as error:
            run_folder.remove_programs(staged)
            raise Refused(f"cannot make the run's folder in {shown(root)}: {error.strerror}") from None
        mark = host.new_mark()
        return {"changed": True, "msg": f"{note}; tables in {folder}", "run": {
            "name": name, "root": root, "folder": folder, "mark": mark, "pass": mark[-16:],
            "programs": programs, "source": shown(source), "note": note, "staged": staged}}

    @staticmethod
    def _programs(args, private):
        """Where the programs come from: (how they were checked, where,
        {processor: program}, the folder they were staged in or ""). A
        release's are checked in the folder private, and unpacked into a
        private folder of this pass's own, never in the run's folder."""
        if not args["release_dir"]:
            programs = release.collection_programs(os.path.join(COLLECTION, "files"))
            if not programs:
                raise Refused("this collection holds no programs (a copy of its sources): name a release "
                              "folder with -e release_dir=DIR")
            source = "the collection arpexport.fleet " + collection_version()
            return "the programs of " + source, source, programs, ""
        problems, note, tarballs = release.check(args["release_dir"], private, args["release_key"],
                                                 args["require_signature"])
        if problems:
            raise Refused("; ".join(problems))
        staged = ""
        try:
            staged = run_folder.programs_folder()
            programs, problems = release.stage(tarballs, staged)
        except OSError as error:
            run_folder.remove_programs(staged)
            raise Refused(f"cannot unpack the release's programs: {error.strerror}") from None
        if problems:
            run_folder.remove_programs(staged)
            raise Refused("; ".join(problems))
        return note, args["release_dir"], programs, staged
