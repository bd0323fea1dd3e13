"""The product's three Info values follow the label on the product line, each as "name: text",
in their order and exactly as stored."""


def play(t):
    t.import_reg("product.reg")
    result = t.run()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.expect_text(result.stderr, "console.txt")
