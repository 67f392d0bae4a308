"""corvantile: knowledge-graph building helpers; the native work lives in corvantile.rs."""
