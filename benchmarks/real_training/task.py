"""The task: a small PyTorch network on an imbalanced binary classification
set (scikit-learn's `make_classification`, 10 % positives, seeded), judged by
precision and recall on a validation split; the test split is scored too but
never seen by a scheduler."""

from __future__ import annotations

import os
import tempfile
from functools import cache
from typing import Any

import numpy as np
from numpy.typing import NDArray

F32 = NDArray[np.float32]
BATCH = 64
STEPS_PER_ITERATION = 20


@cache
def splits() -> dict[str, tuple[F32, F32]]:
    """Train / validation / test (60 / 20 / 20, stratified), standardised on train."""
    from sklearn.datasets import make_classification
    from sklearn.model_selection import train_test_split

    x, y = make_classification(n_samples=3000, n_features=20, n_informative=6,
                               n_redundant=4, weights=[0.9, 0.1], flip_y=0.03,
                               class_sep=0.8, random_state=2024)
    x_tr, x_rest, y_tr, y_rest = train_test_split(x, y, test_size=0.4, stratify=y,
                                                  random_state=0)
    x_va, x_te, y_va, y_te = train_test_split(x_rest, y_rest, test_size=0.5, stratify=y_rest,
                                              random_state=0)
    mean, std = x_tr.mean(axis=0), x_tr.std(axis=0)
    return {name: (((a - mean) / std).astype(np.float32), b.astype(np.float32))
            for name, (a, b) in {"train": (x_tr, y_tr), "val": (x_va, y_va),
                                 "test": (x_te, y_te)}.items()}


def precision_recall(predicted: NDArray[np.bool_], truth: F32) -> tuple[float, float]:
    positive = truth > 0.5
    tp = float(np.sum(predicted & positive))
    precision = tp / max(float(np.sum(predicted)), 1.0)
    recall = tp / max(float(np.sum(positive)), 1.0)
    return precision, recall


def trainable(config: dict[str, Any]) -> None:
    """A 20-16-1 network trained with Adam on a class-weighted loss; `lr`,
    `pos_weight` and the decision `threshold` are tuned.  Every iteration is
    `STEPS_PER_ITERATION` mini-batches, then a report with a checkpoint."""
    import torch
    from ray import tune

    torch.set_num_threads(1)
    data = splits()
    x_tr, y_tr = (torch.from_numpy(a) for a in data["train"])
    seed = int(config.get("seed", 0))
    torch.manual_seed(seed)
    model = torch.nn.Sequential(torch.nn.Linear(x_tr.shape[1], 16), torch.nn.ReLU(),
                                torch.nn.Linear(16, 1))
    opt = torch.optim.Adam(model.parameters(), lr=config["lr"])
    step = 0
    checkpoint = tune.get_checkpoint()
    if checkpoint:
        with checkpoint.as_directory() as d:
            state = torch.load(os.path.join(d, "state.pt"), weights_only=True)
        model.load_state_dict(state["model"])
        opt.load_state_dict(state["opt"])
        step = int(state["step"])
    for group in opt.param_groups:   # a perturbed lr after an exploit
        group["lr"] = config["lr"]
    loss_fn = torch.nn.BCEWithLogitsLoss(pos_weight=torch.tensor(config["pos_weight"]))
    gen = torch.Generator().manual_seed(seed * 100_003 + step)
    while True:
        model.train()
        for _ in range(STEPS_PER_ITERATION):
            idx = torch.randint(len(x_tr), (BATCH,), generator=gen)
            opt.zero_grad()
            loss = loss_fn(model(x_tr[idx]).squeeze(1), y_tr[idx])
            loss.backward()
            opt.step()
        step += 1
        model.eval()
        metrics: dict[str, float] = {}
        with torch.no_grad():
            for split in ("val", "test"):
                x, y = data[split]
                p = torch.sigmoid(model(torch.from_numpy(x)).squeeze(1)).numpy()
                prec, rec = precision_recall(p >= config["threshold"], y)
                tag = "" if split == "val" else "test_"
                metrics[tag + "precision"], metrics[tag + "recall"] = prec, rec
        pr, rc = metrics["precision"], metrics["recall"]
        metrics["f1"] = 2 * pr * rc / (pr + rc) if pr + rc > 0 else 0.0
        with tempfile.TemporaryDirectory() as d:
            torch.save({"model": model.state_dict(), "opt": opt.state_dict(), "step": step},
                       os.path.join(d, "state.pt"))
            tune.report(metrics, checkpoint=tune.Checkpoint.from_directory(d))
