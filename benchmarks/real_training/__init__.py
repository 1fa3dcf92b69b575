"""Real training under each scheduler: precision and recall of a small network
on an imbalanced binary task (see __main__.py)."""
