"""The crash harness's child: python writer.py DATA_DIR LOG SEED RUN. Runs until it is killed."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workload  # noqa: E402

if __name__ == "__main__":
    data_dir, log_path, seed, run = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    workload.run_writer(data_dir, log_path, seed, run)
