"""Printing helpers shared by the examples."""

import functools

import ordinata


def banner(title):
    print()
    print("=" * 78)
    print(title)
    print("=" * 78)


def needs(*classes):
    """Run the example only when the module provides every class it uses."""

    def wrap(example):
        @functools.wraps(example)
        def run(*args, **kwargs):
            missing = [name for name in classes if not hasattr(ordinata, name)]
            if missing:
                print(f"[skipped] {example.__name__}: ordinata.{', '.join(missing)} not in this build")
                return None
            return example(*args, **kwargs)

        return run

    return wrap


def compare(source, rows, digits=6):
    """Print our estimates beside published ones.

    rows: (label, our estimate, our standard error, published estimate, published standard error);
    published values are numbers or strings (printed as published, e.g. "0.400");
    None is shown as a dash.
    """
    w = digits + 10
    print(f"Ours beside {source}:")
    print(f"  {'':10}{'ordinata':>{w}}{'(se)':>{w}}{'published':>{w}}{'(se)':>{w}}")
    for label, b, se, pb, pse in rows:
        pub_b = "-" if pb is None else pb if isinstance(pb, str) else f"{pb:.{digits}g}"
        pub_se = "-" if pse is None else f"({pse})" if isinstance(pse, str) else f"({pse:.{digits}g})"
        our_se = "-" if se is None else f"({se:.{digits}g})"
        print(f"  {label:10}{b:>{w}.{digits}g}{our_se:>{w}}{pub_b:>{w}}{pub_se:>{w}}")
