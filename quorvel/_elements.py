"""Chemical element symbols, indexed by atomic number (index 0 is unused)."""

import re

SYMBOLS = (
    "X",
    "H", "He",
    "Li", "Be", "B", "C", "N", "O", "F", "Ne",
    "Na", "Mg", "Al", "Si", "P", "S", "Cl", "Ar",
    "K", "Ca", "Sc", "Ti", "V", "Cr", "Mn", "Fe", "Co", "Ni", "Cu", "Zn",
    "Ga", "Ge", "As", "Se", "Br", "Kr",
    "Rb", "Sr", "Y", "Zr", "Nb", "Mo", "Tc", "Ru", "Rh", "Pd", "Ag", "Cd",
    "In", "Sn", "Sb", "Te", "I", "Xe",
    "Cs", "Ba", "La", "Ce", "Pr", "Nd", "Pm", "Sm", "Eu", "Gd", "Tb", "Dy",
    "Ho", "Er", "Tm", "Yb", "Lu", "Hf", "Ta", "W", "Re", "Os", "Ir", "Pt",
    "Au", "Hg", "Tl", "Pb", "Bi", "Po", "At", "Rn",
    "Fr", "Ra", "Ac", "Th", "Pa", "U", "Np", "Pu", "Am", "Cm", "Bk", "Cf",
    "Es", "Fm", "Md", "No", "Lr", "Rf", "Db", "Sg", "Bh", "Hs", "Mt", "Ds",
    "Rg", "Cn", "Nh", "Fl", "Mc", "Lv", "Ts", "Og",
)

ATOMIC_NUMBERS = {symbol: z for z, symbol in enumerate(SYMBOLS) if z}

# A POTCAR label: an element symbol, then a variant after "_" (Fe_pv,
# Fe_sv_GW) and/or the hash VASP 6.4.2 and later write after "/"
# (Cd/1f9b3e8c). Pseudo-hydrogens (H.75, H1.25) are no element.
_POTCAR_LABEL = re.compile(r"([A-Z][a-z]?)(?:_[^/\s]*)?(?:/\S*)?")


def element_of(symbol):
    """The element a species name stands for: the name itself when it is an
    element symbol, the element of a POTCAR label ("Fe_pv", "Fe_sv_GW",
    "Cd/1f9b3e8c"), else None ("X1", "o")."""
    if symbol in ATOMIC_NUMBERS:
        return symbol
    m = _POTCAR_LABEL.fullmatch(symbol) if isinstance(symbol, str) else None
    if m is not None and m.group(1) in ATOMIC_NUMBERS:
        return m.group(1)
    return None
