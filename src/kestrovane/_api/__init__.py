"""The public layer of kestrovane: argument checks, named results and progress
around the native kernels.  Users import it through the top-level package."""
