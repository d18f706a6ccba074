"""qelo.expr against its pure-Python transcription and a hand-written lambda."""

from __future__ import annotations

from benchmarks import pure_expr
from benchmarks.harness import Case


def cases() -> list[Case]:
    from qelo import expr

    ctx = {"a": 3, "b": 4, "items": [1, 2, 3, 4, 5]}
    ours = (expr.this.a + expr.this.b) * 2 - expr.len_(expr.this.items)
    pure = (pure_expr.this.a + pure_expr.this.b) * 2 - pure_expr.len_(pure_expr.this.items)
    hand = lambda c: (c["a"] + c["b"]) * 2 - len(c["items"])  # noqa: E731

    this, pure_this = expr.this, pure_expr.this
    deep = ours
    pure_deep = pure
    for _ in range(20):
        deep = deep + expr.this.a
        pure_deep = pure_deep + pure_expr.this.a

    # 22 nodes: paths two deep, bound function paths, and every kind of operator node below them.
    def tree(m):
        return ((m.this.a + m.len_(m.this.items) * 2) - m.abs_(m.this.x - m.this.y) / (m.this.c + 1)
                + m.max_(m.obj_.vals))

    big, pure_big = tree(expr), tree(pure_expr)

    return [
        Case(
            "expr: evaluate (this.a + this.b) * 2 - len_(this.items)",
            {"qelo": lambda: ours(ctx), "pure": lambda: pure(ctx), "lambda": lambda: hand(ctx)},
            target="pure >= 15x; lambda >= 0.77x (qelo within 1.3x of it)",
        ),
        Case(
            "expr: build this.a + 1",
            {"qelo": lambda: this.a + 1, "pure": lambda: pure_this.a + 1},
            target="pure >= 5x",
            same_result=False,
        ),
        Case(
            "expr: evaluate a 20-term sum",
            {"qelo": lambda: deep(ctx), "pure": lambda: pure_deep(ctx)},
        ),
        Case(
            "expr: repr of (this.a + this.b) * 2 - len_(this.items)",
            {"qelo": lambda: repr(ours), "pure": lambda: repr(pure)},
        ),
        Case(
            "expr: repr of a 22-node tree of paths, function paths and operators",
            {"qelo": lambda: repr(big), "pure": lambda: repr(pure_big)},
            target="pure >= 5x",
        ),
        Case(
            "expr: str of the same 22-node tree",
            {"qelo": lambda: str(big), "pure": lambda: str(pure_big)},
            target="pure >= 5x",
        ),
    ]
