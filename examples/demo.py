"""A short tour of tesk: what each function gives, what it refuses, and its noise."""

import numpy as np

import tesk


def main() -> None:
    print(tesk.introduction())

    print("eye(size=3):")
    print(tesk.eye(size=3))

    x = np.array([[3.0, -1.0, 2.0], [0.5, 7.25, -4.0]])
    print("max_min(x=x) for x =", x.tolist(), "->", tesk.max_min(x=x))
    print("max_min of its transpose ->", tesk.max_min(x.T))
    print("max_min with a NaN ->", tesk.max_min(np.array([1.0, np.nan, 2.0])))
    print("max_min of an empty array ->", tesk.max_min(np.zeros((3, 0))))

    # Arrays are used in place, never converted: other element types are refused, and
    # so is an array that NumPy marks read-only.
    try:
        tesk.max_min(np.arange(3))  # type: ignore[arg-type]  # mypy refuses it as well
    except TypeError as error:
        print("max_min of an int64 array -> TypeError:", repr(str(error)))
    frozen = np.ones(3)
    frozen.flags.writeable = False
    try:
        tesk.double_and_random_perturbation(frozen, 1.0)
    except ValueError as error:
        print("perturbing a read-only array -> ValueError:", repr(str(error)))

    y = np.arange(6.0).reshape(2, 3)
    tesk.double_and_random_perturbation(y, perturbation_scaling=0.0)
    print("doubled with scaling 0.0:", y.tolist())

    # Each element becomes 2v + (u - 0.5) * s with u uniform in [0, 1): on zeros, the
    # noise alone, within [-s/2, s/2).
    scaling = 0.1
    noise = np.zeros(1_000_000)
    tesk.double_and_random_perturbation(noise, scaling)
    largest, smallest = tesk.max_min(noise)
    print(
        f"noise of {noise.size:,} elements with scaling {scaling}: from {smallest:.9f} "
        f"to {largest:.9f}, mean {noise.mean():+.6f} (bounds [-0.05, 0.05))"
    )


if __name__ == "__main__":
    main()
