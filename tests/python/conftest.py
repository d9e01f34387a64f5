import os

# Open3D's radius-outlier removal fills a std::vector<bool> from a parallel
# loop; tests that assert exact point counts need it single-threaded.
os.environ.setdefault("OMP_NUM_THREADS", "1")
