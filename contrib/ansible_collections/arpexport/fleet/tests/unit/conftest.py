"""The collection imported as Ansible imports it: as arpexport.fleet from
the folder that holds ansible_collections, through Ansible's collection
loader (ansible-test installs it before this runs)."""
import importlib
import os
import sys

from ansible.utils.collection_loader import AnsibleCollectionConfig

COLLECTIONS = os.path.abspath(os.path.join(os.path.dirname(__file__), *[os.pardir] * 5))
if AnsibleCollectionConfig.collection_finder is None:
    # These sources, never a copy of the collection installed elsewhere.
    os.environ["ANSIBLE_COLLECTIONS_PATH"] = COLLECTIONS
    sys.path.insert(0, COLLECTIONS)
    # Importing the plugin loader installs the collection loader.
    importlib.import_module("ansible.plugins.loader")
