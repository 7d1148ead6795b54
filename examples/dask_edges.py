#!/usr/bin/python3
"""Edge maps of many image files on a Dask cluster: the per-file job of
batch_edges.py, mapped over the cluster's workers.

Paths go out and small results come back, never the arrays. Every worker must
import quarn, and see the files under the same paths (a shared file system);
this script ships edge_job.py and edge_png.py to the workers itself. Prints each file's edge
share and path; exit status 1 if any file failed, after listing it.
"""
import argparse
import importlib.util
import sys

import edge_job
import edge_png
from edge_job import failure, find_images


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__, fromfile_prefix_chars="@",
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sources", nargs="+", metavar="SRC", help="folders or files, as for batch_edges.py")
    parser.add_argument("-o", "--output", required=True, metavar="DST", help="folder for the edge maps")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a running scheduler, e.g. tcp://10.0.0.5:8786 "
                             "(default: a LocalCluster on this machine)")
    parser.add_argument("--workers", type=int, default=2, metavar="N",
                        help="worker processes of the LocalCluster (default: %(default)s)")
    return parser.parse_args()


def edge_results(client, pairs):
    """EdgeResults of edge_job over the (source, target) pairs, in their order."""
    client.upload_file(edge_png.__file__)   # first: edge_job imports it
    client.upload_file(edge_job.__file__)
    futures = client.map(edge_job.edge_job, *zip(*pairs))
    # A worker that dies has its files retried on others; a file that kills
    # several ends as an error here, like any fault the job does not catch.
    return [failure(source, future.exception()) if future.exception() else future.result()
            for (source, _), future in zip(pairs, futures)]


def on_cluster(args, pairs):
    """edge_results of the pairs on the scheduler that `args` name, else on a
    LocalCluster of its own."""
    from dask.distributed import Client, LocalCluster
    if args.scheduler:
        with Client(args.scheduler) as client:
            return edge_results(client, pairs)
    # One thread a worker: a quarn call holds the interpreter lock throughout.
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        return edge_results(client, pairs)


def main():
    args = parse_arguments()
    # File names need not be UTF-8: they are printed as the bytes they are.
    sys.stdout.reconfigure(errors="surrogateescape")
    if importlib.util.find_spec("distributed") is None:
        sys.exit("Dask is missing: install it first (Debian: apt-get install python3-dask "
                 "python3-distributed)")
    unlisted = []
    pairs = find_images(args.sources, args.output, unlisted)
    if not pairs and not unlisted:
        sys.exit("no image files found")
    results = on_cluster(args, pairs) if pairs else []
    failed = unlisted + [result for result in results if result.error]
    for result in results:
        if not result.error:
            print(f"{result.edge_share:.6f} {result.source}")
    for result in failed:
        print(f"failed: {result.source}: {result.error}", file=sys.stderr)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
