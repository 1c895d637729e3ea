"""A tour of ordinata on real data, one example per function: run with `make demo`.

Every example prints the report and, where a published figure exists, the
published value beside ours; the last two write a regression table and two
pictures to build/tour/. Each example module also runs on its own.
"""

import frames
import frames_dask
import grunfeld
import longley
import mroz
import tables_plots
import weighted

EXAMPLES = [
    longley.ols,
    longley.robust_ols,
    longley.ridge,
    grunfeld.fixed_effects,
    grunfeld.clustered_fixed_effects,
    mroz.iv,
    mroz.tsls,
    weighted.wls_group_means,
    weighted.gls_ar1,
    frames.wage,
    frames.grunfeld,
    frames.mroz,
    frames_dask.cluster_fit,
    tables_plots.mroz_wages,
    tables_plots.grunfeld_years,
]


def main():
    for example in EXAMPLES:
        example()


if __name__ == "__main__":
    main()
