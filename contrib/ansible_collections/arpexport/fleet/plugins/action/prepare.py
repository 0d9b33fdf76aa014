# Copyright 2026 The arpexport developers. All rights reserved.
"""Checks the programs a run will send, and makes the run's folder."""
import json
import os
import shutil

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
        note, source, tarballs, programs = self._programs(args)
        root = os.path.abspath(args["tables_dir"])
        try:
            if args["run"]:
                name = args["run"]
                folder = run_folder.existing_run(root, name)
            else:
                name = run_folder.new_run(root)
                folder = os.path.join(root, name)
            staged = run_folder.programs_folder(folder) if tarballs else ""
        except ValueError as error:
            raise Refused(str(error)) from None
        except OSError as error:
            raise Refused(f"cannot make the run's folder in {shown(root)}: {error.strerror}") from None
        if staged:
            programs, problems = release.stage(tarballs, staged)
            if problems:
                shutil.rmtree(staged, ignore_errors=True)
                if not args["run"]:
                    os.rmdir(folder)
                raise Refused("; ".join(problems))
        mark = host.new_mark()
        return {"changed": True, "msg": f"{note}; tables in {folder}", "run": {
            "name": name, "root": root, "folder": folder, "mark": mark, "pass": mark[-16:],
            "programs": programs, "source": shown(source), "note": note, "staged": staged}}

    @staticmethod
    def _programs(args):
        """Where the programs come from: (how they were checked, where,
        {processor: tarball} to take them from, {processor: program})."""
        if args["release_dir"]:
            problems, note, tarballs = release.check(args["release_dir"], args["release_key"],
                                                     args["require_signature"])
            source, programs = args["release_dir"], {}
        else:
            programs = release.collection_programs(os.path.join(COLLECTION, "files"))
            problems = [] if programs else [
                "this collection holds no programs (a copy of its sources): name a release "
                "folder with -e release_dir=DIR"]
            source, tarballs = "the collection arpexport.fleet " + collection_version(), {}
            note = "the programs of " + source
        if problems:
            raise Refused("; ".join(problems))
        return note, source, tarballs, programs
