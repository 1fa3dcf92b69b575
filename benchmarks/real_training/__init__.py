"""Real training under every exploit method: populations of small networks
learning real photographs, paired by seed with equal budgets (see
__main__.py)."""
