"""Imports the shop's generated models and validates one good and one bad order.

Usage: python examples/shop/try_models.py PACKAGE_DIR

PACKAGE_DIR is the --out directory given to `velkor-models generate examples/shop/app`.
Exits 0 when the good order validates and the bad one is rejected, else 1.
"""

import importlib
import sys
from pathlib import Path

from pydantic import ValidationError

GOOD_ORDER = {
    "id": "o-1001",
    # Only an id: not enough for a Customer, so the union falls back to a Reference.
    "customer": {"id": "c-7"},
    "lines": [
        {
            # A whole product, embedded.
            "product": {
                "sku": "bk-042",
                "title": "The Garden Year",
                "price": {"amount_minor": 2450, "currency": "EUR"},
                "category": "books",
            },
            "quantity": 2,
            "unit_price": {"amount_minor": 2450, "currency": "EUR"},
        },
        {
            # A product by reference.
            "product": {"id": "p-17", "model": "Product"},
            "unit_price": {"amount_minor": 990, "currency": "EUR"},
        },
    ],
    "status": "placed",
    "placed_at": "2025-03-01T10:15:00",
    "ship_to": {"street": "Storgata 1", "city": "Oslo", "postcode": "0155"},
}

# The same order with a status that is not in the order_status option set.
BAD_ORDER = {**GOOD_ORDER, "status": "lost"}


def main(package_dir: Path) -> int:
    sys.path.insert(0, str(package_dir.resolve().parent))
    models = importlib.import_module(package_dir.name)
    static_files = importlib.import_module(f"{package_dir.name}.static_files")
    print(f"models: {', '.join(models.__all__)}")
    print(f"static files: {', '.join(sorted(static_files.STATIC_FILES))}")
    print(f"terms.txt: {static_files.read_static_file('terms.txt').decode('utf-8').strip()}")

    order = models.Order.model_validate(GOOD_ORDER)
    first, second = order.lines
    print(
        f"good order {order.id}: customer {type(order.customer).__name__}, "
        f"line 1 {type(first.product).__name__}, line 2 {type(second.product).__name__}, "
        f"total {order.total_minor() / 100:.2f} EUR"
    )
    try:
        models.Order.model_validate(BAD_ORDER)
    except ValidationError as exc:
        error = exc.errors()[0]
        print(f"bad order rejected: {'.'.join(map(str, error['loc']))}: {error['msg']}")
        return 0
    print("bad order was accepted, but its status is not an allowed option", file=sys.stderr)
    return 1


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(Path(sys.argv[1])))
