"""Adapters of `kestrovane.pbt` to training frameworks; each needs its extra
(`kestrovane.integrations.ray_tune`: ``pip install 'kestrovane[ray]'``)."""
