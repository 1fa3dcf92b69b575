"""The ``kestrovane-select`` command line: population files in, a selection out."""
