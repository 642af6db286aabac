"""The factory database of a project.

The call-graph module binds this module at load but reads nothing from it
yet; it is kept so that the binding resolves.
"""
