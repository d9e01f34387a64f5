"""bench_segmentation.py's name for the plain pipeline, whose one home is quarnet.testing.plain_pipeline."""
from quarnet.testing.plain_pipeline import plain_extract  # noqa: F401
