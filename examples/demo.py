"""A short tour of tesk: the introduction text and the three array functions."""

import numpy as np

import tesk


def main() -> None:
    print(tesk.introduction())

    identity = tesk.eye(4)
    print("eye(4):")
    print(identity)
    print("  owned by", type(identity.base).__name__, "- owndata:", identity.flags.owndata)

    x = np.array([[3.0, -1.0, 2.0], [0.5, 7.25, -4.0]])
    print("max_min of", x.tolist(), "->", tesk.max_min(x))
    print("max_min of its transpose ->", tesk.max_min(x.T))
    print("max_min with a NaN ->", tesk.max_min(np.array([1.0, np.nan, 2.0])))
    print("max_min of an empty array ->", tesk.max_min(np.zeros((3, 0))))

    y = np.arange(6.0).reshape(2, 3)
    tesk.double_and_random_perturbation(y, 0.0)
    print("doubled with scaling 0.0:", y.tolist())
    tesk.double_and_random_perturbation(y, 1.0)
    print("doubled again, each within 0.5 of exact:", np.round(y, 3).tolist())


if __name__ == "__main__":
    main()
