"""Writes the example population files of this folder (the binary ones
cannot be typed in); `cases.json` says what the command line must do with
each.  Run it from anywhere: python tests/data/cli/make_files.py"""

from pathlib import Path

import numpy as np

HERE = Path(__file__).parent
BOM = b"\xef\xbb\xbf"
CSV = "a,0.1,0.01,0.9,0.1\nb,0.3,0.02,0.3,0.1\nc,0.8,0.01,0.1,0.05\nd,0.6,0.05,0.6,0.2\n"

TEXT = {
    "bom_id_first.csv": BOM + ("id,mu_loss,var_loss,mu_cost,sd_cost\n" + CSV).encode(),
    "bom_mu_first.csv": BOM + b"mu_loss,var_loss,mu_cost,var_cost\n1,0.1,3,0.1\n2,0.1,1,0.1\n",
    "extra_column.csv": b"id,mu_loss,var_loss,note\na,1,0.1,fast\nb,2,0.1,slow\n",
    "mean_next_to_var.csv": b"id,mu_loss,var_loss,mean_lat,var_lat\na,1,0.1,5,1\n",
    "var_without_mu.csv": b"id,mu_loss,var_loss,var_x\na,1,0.1,1\n",
    "duplicate_column.csv": b"id,mu_loss,var_loss,mu_loss\na,1,0.1,2\n",
    "sd_overflows.csv": b"id,mu_loss,sd_loss\na,1,0.1\nb,2,1e200\n",
    "variance_infinite.csv": b"id,mu_loss,var_loss\na,1,inf\n",
    "mean_infinite.csv": b"id,mu_loss,var_loss\na,1,0.1\nb,-inf,0.1\n",
    "latin1.csv": "id,mu_loss,var_loss\nJosé,1,0.1\n".encode("latin-1"),
    "header_only.csv": b"id,mu_loss,var_loss\n",
    "invalid_utf8.json": b'{"mu": [[1]], "sigma2": [[1]], "ids": ["\xff"]}',
    "huge_integer.json": b'{"mu": [[1' + b"0" * 400 + b']], "sigma2": [[1]]}',
    "deeply_nested.json": b"[" * 5000 + b"]" * 5000,
    "no_objectives.json": b'{"mu": [[], []], "sigma2": [[], []]}',
    "sd_overflows.json": b'{"mu": [[1], [2]], "sd": [[1], [1e200]]}',
    "duplicate_objective.json": b'{"mu": [[1, 2]], "sigma2": [[1, 1]], '
                                b'"objectives": ["a", "a"]}',
    "bad_id.json": b'{"mu": [[1]], "sigma2": [[1]], "ids": [null]}',
    "surrogate_id.json": b'{"mu": [[1]], "sigma2": [[1]], "ids": ["\\ud800"]}',
    "maximize.json": b'{"mu": [[0.9, 3], [0.5, 1], [0.7, 2]], "sigma2": [[0, 0], [0, 0], '
                     b'[0, 0]], "ids": ["x", "y", "z"], "objectives": ["acc", "cost"]}',
}


def main() -> None:
    for name, data in TEXT.items():
        (HERE / name).write_bytes(data)
    mu = np.array([[0.1, 0.9], [0.3, 0.3], [0.8, 0.1]])
    np.savez(HERE / "good.npz", mu=mu, sigma2=np.full_like(mu, 0.01),
             ids=np.array([b"p", b"q", b"r"]), objectives=np.array(["loss", "cost"]))
    np.savez(HERE / "no_objectives.npz", mu=np.zeros((3, 0)), sigma2=np.zeros((3, 0)))
    np.savez(HERE / "object_ids.npz", mu=mu, sigma2=mu,
             ids=np.array(["a", 1, None], dtype=object))
    np.savez(HERE / "zero_d_ids.npz", mu=mu, sigma2=mu, ids=np.array("a"))
    np.savez(HERE / "text_scores.npz", mu=np.array([["1", "2"]]), sigma2=np.ones((1, 2)))
    np.savez(HERE / "infinite_mean.npz", mu=np.array([[1.0], [np.inf]]),
             sigma2=np.ones((2, 1)))
    whole = (HERE / "good.npz").read_bytes()
    (HERE / "truncated.npz").write_bytes(whole[:len(whole) // 2])
    (HERE / "not_a_zip.npz").write_bytes(b"mu,sigma2\n1,2\n")


if __name__ == "__main__":
    main()
