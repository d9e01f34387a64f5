// Native doubles of the trimesh calls that cost a segmentation most of its
// time or memory: the candidate query trimesh.proximity.nearby_faces,
// Trimesh.submesh of one face group, and Trimesh.export into a PLY file. Each applies only where the gate (native_path.hpp) lets
// it vouch for trimesh's very result; callers fall back to trimesh otherwise.
#pragma once

#include <pybind11/numpy.h>

#include <memory>
#include <optional>
#include <vector>

#include "quarnet/memory/reuse.hpp"
#include "quarnet/mesh/face_ids.hpp"
#include "quarnet/spatial/box_tree.hpp"
#include "tessaron.hpp"

namespace tessaron {

// The R-tree trimesh.proximity.nearby_faces answers from: rtree.index.Index
// with Property(dimension=3) over memory storage, bulk loaded from a stream,
// whose properties are libspatialindex's defaults.
inline constexpr quarnet::spatial::TreeShape kTrianglesTree{3, 100, 100, 0.7};

// trimesh.proximity.nearby_faces(mesh, batch) for the batches of one point
// array: the R-tree of the face bounds (kTrianglesTree) and the k-d tree of
// the referenced vertices are built once, and queried with the same boxes.
class NearbyFacesQuery {
 public:
  // The query for `mesh` and the N x 3 `points` whose row ranges will be
  // asked for, or null where trimesh must answer (anything the gate does
  // not vouch for: a replaced function, another mesh type, a library
  // version the table does not list, points or vertices that are not
  // finite, ...).
  static std::unique_ptr<NearbyFacesQuery> prepare(const qh::Namespace& ns, const py::object& mesh,
                                                   const py::object& points);
  ~NearbyFacesQuery();

  // Appends the heads of the candidate groups of `batch` (rows of the
  // points, as an array) to `ids` and returns the number of groups, as
  // trimesh's groups for that batch would give them.
  std::size_t add_groups(const py::object& batch, quarnet::mesh::FaceIdCollector& ids) const;

 private:
  struct State;
  explicit NearbyFacesQuery(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// mesh.submesh([faces], only_watertight=False) as trimesh builds it, for a
// mesh that submesh_is_native admits; nullopt where trimesh must build it
// (arrays it cannot read, ids out of range). `faces` is a 1-D int64 array.
std::optional<py::object> native_submesh(const py::object& mesh, const py::object& faces);

// Whether trimesh's cache (trimesh.caching.Cache) may hold `key`: false
// where its stored values lack it, which its own lookup (`key in cache`,
// cache[key]) learns only after hashing every array of the mesh, a copy of
// each (TrackedArray.__hash__ hashes tobytes()), to clear values computed
// from other data. Nothing is removed by that check, so a key not stored is
// not there either way.
bool cache_may_hold(const py::object& cache, const char* key);

// obj.<name> is a method bound to obj whose function the library defines as
// `qualname` (in the imported module `module`).
bool bound_method_defined_by(const py::object& obj, const char* name, const char* module, const char* qualname);

// ply_export.cpp: mesh.export(path) into a PLY file, written natively (and
// streamed) where the gate vouches for trimesh's bytes; _export_ply.
void export_mesh_file(const py::object& mesh, const py::object& path);
void define_ply_export(const qh::Namespace& ns);

// An int64 ndarray owning `values` (no copy), shaped (n) or (n, cols).
py::array_t<std::int64_t> adopt(quarnet::memory::Vector<std::int64_t>&& values, std::size_t cols = 1);

// A new C-ordered ndarray of `dtype` and `shape`, uninitialised; a large one
// on a block kept for reuse while the cut runs (quarnet/memory/reuse.hpp).
py::array new_array(const py::dtype& dtype, const std::vector<py::ssize_t>& shape);

// Whether native_submesh may stand in for `mesh.submesh` (and numpy's
// arange/setdiff1d for the remainder's face list).
bool submesh_is_native(const qh::Namespace& ns, const py::object& mesh);

// dropped_meshes.cpp: before the search or the cut of `mesh`, of `faces`
// faces, a full run of the cycle collector once the meshes met since the
// last run (each counted once) hold kCollectFaces faces in all, so that
// working meshes let go of since are freed (trimesh's meshes live in
// reference cycles).
inline constexpr std::size_t kCollectFaces = std::size_t{1} << 19;
void release_dropped_meshes(const py::object& mesh, std::size_t faces);
// One full run of the cycle collector (before the scene mesh is read).
void release_dropped_objects();

}  // namespace tessaron
