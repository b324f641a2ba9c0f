"""Structure analysis on the neighbor search: the radial distribution
function, coordination numbers, bonds and clusters.

    >>> from quorvel import analysis
    >>> g = analysis.rdf("movie.xyz", rmax=6.0, bins=120)   # an RDF
    >>> g.plot(); g.to_csv("rdf.csv")
    >>> c = analysis.coordination("POSCAR", 2.2)            # per atom and pair
    >>> b = analysis.bonds(quorvel.read("POSCAR"))          # covalent radii
    >>> cl = analysis.clusters(structure, b)                # components, percolation

``rdf`` and ``coordination`` take a Structure, a Trajectory, a
``quorvel.io.Frames`` or a path, with ``frames=`` to pick frames and
``workers=``/``client=`` to spread them over processes or a Dask cluster;
their results add exactly (``rdf_a + rdf_b``), whichever way the frames
were split.

Modules: ``_sources`` (frames of a source, chunks for map_chunks), ``_rdf``
(RDF), ``_coordination`` (Coordination), ``_bonds`` (Bonds, Clusters).
"""

from ._bonds import Bonds, Clusters, bonds, clusters, covalent_radius
from ._coordination import Coordination, coordination
from ._rdf import RDF, rdf

__all__ = ["rdf", "RDF", "coordination", "Coordination", "bonds", "Bonds", "clusters", "Clusters",
           "covalent_radius"]

for _cls in (RDF, Coordination, Bonds, Clusters):
    _cls.__module__ = __name__
del _cls
