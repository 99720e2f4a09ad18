"""The benchmark workloads: one query, the same job written for every peer.

Each workload names a document, our query, the equivalent Python code (run
after orjson.loads or json.loads), the jq program and, where the query can be
expressed there, the JMESPath expression, and the forms of pysimdjson,
cysimdjson and msgspec. Every peer returns the list of results, so that each
peer's output can be compared with ours before timing.
"""

from dataclasses import dataclass
from typing import Callable, Optional

# Groups, and what the targets expect of them.
IDENTITY = "identity"      # parse plus full conversion
PATH = "path"              # a deep path to one small value
SELECT = "select"          # iterate + select + object construction
BUILTIN = "builtin"        # keys, to_entries, tojson, sort
FIRST = "first"            # first() against input() on many results
SMALL = "small"            # many small documents, program compiled once
LINES = "lines"            # JSON Lines: one call per line, bytes only
GROWTH = "growth"          # generated documents of growing size

SELECTIVE = (PATH, SELECT)


@dataclass
class Workload:
    group: str
    name: str
    doc: str                  # key of the document text (or text list)
    query: str
    # python(document, dumps) -> list of results; `dumps` is the peer's own
    # compact serialiser, for the tojson workloads.
    python: Callable
    jq: Optional[str] = None
    jmespath: Optional[str] = None
    jmespath_many: bool = False    # the expression yields a list of results
    first: bool = False            # ours runs first(), jq wraps in first(...)
    many: bool = False             # doc is a list of small texts
    # For a builtin over a part of the document: the path step to that part,
    # which bench/in_place.py times beside the query.
    path: Optional[str] = None
    # For pysimdjson, cysimdjson and msgspec. A path workload gives the JSON
    # pointer to its one result, which all three follow. Otherwise `proxies`
    # says that `python` also runs over the lazy proxies of pysimdjson and
    # cysimdjson (it only indexes and iterates them, and returns no proxy),
    # and `msgspec` is (shape, code): the fields the query reads, decoded
    # into Structs (see peers._msgspec_type), and code(decoded) -> results.
    pointer: Optional[str] = None
    proxies: bool = False
    msgspec: Optional[tuple] = None

    @property
    def label(self):
        return "%s %s" % (self.name, self.doc)


def _one(f):
    return lambda d, dumps: [f(d)]


def _entries(o):
    return [{"key": k, "value": v} for k, v in o.items()]


def _walk(v):
    """v and everything nested in it, parents first (the `..` of a query)."""
    yield v
    if isinstance(v, dict):
        for x in v.values():
            yield from _walk(x)
    elif isinstance(v, list):
        for x in v:
            yield from _walk(x)


def _find(s, sub):
    i = s.find(sub)
    return None if i < 0 else i


def _users(d):
    return [s["user"] for s in d["statuses"]]


# A builtin over each user object of twitter.json: query, Python for one user.
_USER_BUILTINS = [
    ("to_entries | length", lambda u: len(u)),
    ("keys", sorted),
    ("keys | length", lambda u: len(u)),
    ("values | length", lambda u: len(u)),
    ('has("url")', lambda u: "url" in u),
    ('.name | startswith("a")', lambda u: u["name"].startswith("a")),
    ('.description | contains("the")', lambda u: "the" in u["description"]),
    ('.description | index("a")', lambda u: _find(u["description"], "a")),
    ("tojson | length", lambda u: len(_dumps_ours(u))),
]


def _dumps_ours(v):
    import json
    return json.dumps(v, ensure_ascii=False, separators=(",", ":"))


def builtin_workloads(available):
    """Builtins over parts of the real documents, each with the path step to
    the part it reads (for the ratio builtin / path of bench/in_place.py)."""
    w = []
    for query, one in _USER_BUILTINS:
        part = ".statuses.[] | .user" + (" | .name" if query.startswith(".name") else
                                         " | .description" if query.startswith(".desc") else "")
        w.append(Workload(BUILTIN, query, "twitter.json", ".statuses.[] | .user | " + query,
                          lambda d, dumps, one=one: [one(u) for u in _users(d)], path=part))
    w += [
        Workload(BUILTIN, "to_entries | from_entries", "github_events.json",
                 ".[] | to_entries | from_entries",
                 lambda d, dumps: [dict(e) for e in d], jq=".[] | to_entries | from_entries",
                 path=".[]"),
        Workload(BUILTIN, "to_entries | select", "update-center.json",
                 '.plugins | to_entries | .[] | select(.value.requiredCore == "1.609") | .key',
                 lambda d, dumps: [k for k, v in d["plugins"].items()
                                   if v.get("requiredCore") == "1.609"],
                 jq='.plugins | to_entries | .[] | select(.value.requiredCore == "1.609") | .key',
                 path=".plugins"),
        Workload(BUILTIN, "keys", "update-center.json", ".plugins | keys",
                 _one(lambda d: sorted(d["plugins"])), jq=".plugins | keys", path=".plugins"),
        Workload(BUILTIN, "values | length", "update-center.json", ".plugins | values | length",
                 _one(lambda d: len(d["plugins"])), path=".plugins"),
        Workload(BUILTIN, "unique | length", "numbers.json", "unique | length",
                 _one(lambda d: len(set(d))), path="."),
        Workload(BUILTIN, "min", "numbers.json", "min", _one(min), jq="min", path="."),
        Workload(BUILTIN, "max", "numbers.json", "max", _one(max), jq="max", path="."),
        Workload(BUILTIN, "first | .id", "twitter.json", ".statuses | first | .id",
                 _one(lambda d: d["statuses"][0]["id"]), path=".statuses | .[0] | .id"),
        Workload(BUILTIN, "last | .id", "twitter.json", ".statuses | last | .id",
                 _one(lambda d: d["statuses"][-1]["id"]), path=".statuses | .[-1] | .id"),
        Workload(BUILTIN, "isnan", "canada.json",
                 ".features.[0].geometry.coordinates.[0] | isnan",
                 _one(lambda d: False), path=".features.[0].geometry.coordinates.[0]"),
        Workload(BUILTIN, "sort | length", "numbers.json", "sort | length",
                 _one(lambda d: len(sorted(d))), path="."),
        Workload(BUILTIN, "construct nested", "twitter.json",
                 ".statuses.[] | {u: .user, e: .entities} | .u.id",
                 lambda d, dumps: [s["user"]["id"] for s in d["statuses"]],
                 path=".statuses.[] | .user.id"),
        Workload(BUILTIN, ".. over built", "citm_catalog.json",
                 '{a: .events} | .. | select(type == "string") | length',
                 lambda d, dumps: [len(x) for x in _walk({"a": d["events"]})
                                   if isinstance(x, str)],
                 path='.events | .. | select(type == "string") | length'),
    ]
    return [x for x in w if x.doc in available]


REAL_DOCS = [
    "twitter.json", "citm_catalog.json", "canada.json", "github_events.json",
    "gsoc-2018.json", "mesh.json", "numbers.json", "marine_ik.json",
    "instruments.json", "update-center.json",
]


def real_workloads(available):
    """Workloads over the real-world documents present in `available`."""
    w = [Workload(IDENTITY, "identity", doc, ".", _one(lambda d: d), jq=".", jmespath="@",
                  pointer="") for doc in REAL_DOCS]
    w += [
        Workload(PATH, "deep path", "twitter.json", ".statuses.[42].user.screen_name",
                 _one(lambda d: d["statuses"][42]["user"]["screen_name"]),
                 jq=".statuses.[42].user.screen_name",
                 jmespath="statuses[42].user.screen_name",
                 pointer="/statuses/42/user/screen_name"),
        Workload(PATH, "deep path", "citm_catalog.json",
                 ".performances.[100].seatCategories.[0].areas.[0].areaId",
                 _one(lambda d: d["performances"][100]["seatCategories"][0]["areas"][0]["areaId"]),
                 jq=".performances.[100].seatCategories.[0].areas.[0].areaId",
                 jmespath="performances[100].seatCategories[0].areas[0].areaId",
                 pointer="/performances/100/seatCategories/0/areas/0/areaId"),
        Workload(PATH, "deep path", "canada.json", ".features.[0].geometry.coordinates.[0].[10].[1]",
                 _one(lambda d: d["features"][0]["geometry"]["coordinates"][0][10][1]),
                 jq=".features.[0].geometry.coordinates.[0].[10].[1]",
                 jmespath="features[0].geometry.coordinates[0][10][1]",
                 pointer="/features/0/geometry/coordinates/0/10/1"),
        Workload(PATH, "deep path", "update-center.json", ".plugins.git.version",
                 _one(lambda d: d["plugins"]["git"]["version"]),
                 jq=".plugins.git.version", jmespath="plugins.git.version",
                 pointer="/plugins/git/version"),
        Workload(PATH, "deep path", "github_events.json", ".[18].payload.commits.[0].author.name",
                 _one(lambda d: d[18]["payload"]["commits"][0]["author"]["name"]),
                 jq=".[18].payload.commits.[0].author.name",
                 jmespath="[18].payload.commits[0].author.name",
                 pointer="/18/payload/commits/0/author/name"),
        Workload(PATH, "path [0]", "twitter.json", ".statuses.[0].user.id",
                 _one(lambda d: d["statuses"][0]["user"]["id"]),
                 jq=".statuses.[0].user.id", jmespath="statuses[0].user.id",
                 pointer="/statuses/0/user/id"),
        Workload(PATH, "short path", "twitter.json", ".search_metadata.count",
                 _one(lambda d: d["search_metadata"]["count"]),
                 jq=".search_metadata.count", jmespath="search_metadata.count",
                 pointer="/search_metadata/count"),
        Workload(PATH, "path [0]", "update-center.json", ".plugins.git.dependencies.[0].name",
                 _one(lambda d: d["plugins"]["git"]["dependencies"][0]["name"]),
                 jq=".plugins.git.dependencies.[0].name", jmespath="plugins.git.dependencies[0].name",
                 pointer="/plugins/git/dependencies/0/name"),
        Workload(PATH, "path [0]", "canada.json", ".features.[0].geometry.type",
                 _one(lambda d: d["features"][0]["geometry"]["type"]),
                 jq=".features.[0].geometry.type", jmespath="features[0].geometry.type",
                 pointer="/features/0/geometry/type"),
        Workload(SELECT, "iterate+path", "twitter.json", ".statuses.[] | .user.screen_name",
                 lambda d, dumps: [s["user"]["screen_name"] for s in d["statuses"]],
                 jq=".statuses.[] | .user.screen_name", jmespath="statuses[].user.screen_name",
                 jmespath_many=True, proxies=True,
                 msgspec=({"statuses": [{"user": {"screen_name": str}}]},
                          lambda d: [s.user.screen_name for s in d.statuses])),
        Workload(SELECT, "select+{id,name}", "citm_catalog.json",
                 '.performances.[] | select(.venueCode == "PLEYEL_PLEYEL") | {id: .id, name: .name}',
                 lambda d, dumps: [{"id": p["id"], "name": p["name"]} for p in d["performances"]
                                   if p["venueCode"] == "PLEYEL_PLEYEL"],
                 jq='.performances.[] | select(.venueCode == "PLEYEL_PLEYEL") | {id: .id, name: .name}',
                 jmespath="performances[?venueCode == 'PLEYEL_PLEYEL'].{id: id, name: name}",
                 jmespath_many=True, proxies=True,
                 msgspec=({"performances": [{"id": int, "name": str, "venueCode": str}]},
                          lambda d: [{"id": p.id, "name": p.name} for p in d.performances
                                     if p.venueCode == "PLEYEL_PLEYEL"])),
        Workload(SELECT, "select+path", "github_events.json",
                 '.[] | select(.type == "PushEvent") | .actor.login',
                 lambda d, dumps: [e["actor"]["login"] for e in d if e["type"] == "PushEvent"],
                 jq='.[] | select(.type == "PushEvent") | .actor.login',
                 jmespath="[?type == 'PushEvent'].actor.login", jmespath_many=True, proxies=True,
                 msgspec=([{"type": str, "actor": {"login": str}}],
                          lambda d: [e.actor.login for e in d if e.type == "PushEvent"])),
        # items(), not values(): cysimdjson's objects have no values().
        Workload(SELECT, "iterate+path", "gsoc-2018.json", ".[] | .author.name",
                 lambda d, dumps: [p["author"]["name"] for _, p in d.items()],
                 jq=".[] | .author.name", jmespath="values(@)[].author.name",
                 jmespath_many=True, proxies=True,
                 msgspec=({str: {"author": {"name": str}}},
                          lambda d: [p.author.name for p in d.values()])),
        Workload(SELECT, "select+construct", "twitter.json",
                 ".statuses.[] | select(.user.followers_count > 1000) | "
                 "{id: .id_str, user: .user.screen_name, retweets: .retweet_count}",
                 lambda d, dumps: [{"id": s["id_str"], "user": s["user"]["screen_name"],
                                    "retweets": s["retweet_count"]}
                                   for s in d["statuses"] if s["user"]["followers_count"] > 1000],
                 jq=".statuses.[] | select(.user.followers_count > 1000) | "
                    "{id: .id_str, user: .user.screen_name, retweets: .retweet_count}",
                 jmespath="statuses[?user.followers_count > `1000`]."
                          "{id: id_str, user: user.screen_name, retweets: retweet_count}",
                 jmespath_many=True),
        Workload(SELECT, "select+construct", "citm_catalog.json",
                 '.performances.[] | select(.venueCode == "PLEYEL_PLEYEL" and .start > 1380000000000) | '
                 "{id: .id, event: .eventId, start: .start}",
                 lambda d, dumps: [{"id": p["id"], "event": p["eventId"], "start": p["start"]}
                                   for p in d["performances"]
                                   if p["venueCode"] == "PLEYEL_PLEYEL" and p["start"] > 1380000000000],
                 jq='.performances.[] | select(.venueCode == "PLEYEL_PLEYEL" and .start > 1380000000000) | '
                    "{id: .id, event: .eventId, start: .start}",
                 jmespath="performances[?venueCode == 'PLEYEL_PLEYEL' && start > `1380000000000`]."
                          "{id: id, event: eventId, start: start}",
                 jmespath_many=True),
        Workload(SELECT, "select+construct", "github_events.json",
                 '.[] | select(.type == "PushEvent") | {id: .id, repo: .repo.name, who: .actor.login}',
                 lambda d, dumps: [{"id": e["id"], "repo": e["repo"]["name"], "who": e["actor"]["login"]}
                                   for e in d if e["type"] == "PushEvent"],
                 jq='.[] | select(.type == "PushEvent") | {id: .id, repo: .repo.name, who: .actor.login}',
                 jmespath="[?type == 'PushEvent'].{id: id, repo: repo.name, who: actor.login}",
                 jmespath_many=True),
        Workload(SELECT, "select+construct", "update-center.json",
                 '.plugins.[] | select(.requiredCore == "1.424") | {name: .name, version: .version}',
                 lambda d, dumps: [{"name": p["name"], "version": p["version"]}
                                   for p in d["plugins"].values() if p.get("requiredCore") == "1.424"],
                 jq='.plugins.[] | select(.requiredCore == "1.424") | {name: .name, version: .version}',
                 jmespath="values(plugins)[?requiredCore == '1.424'].{name: name, version: version}",
                 jmespath_many=True),
        Workload(SELECT, "select+construct", "gsoc-2018.json",
                 '.[] | select(.sponsor.name == "NumFOCUS") | {name: .name, author: .author.name}',
                 lambda d, dumps: [{"name": p["name"], "author": p["author"]["name"]}
                                   for p in d.values() if p["sponsor"]["name"] == "NumFOCUS"],
                 jq='.[] | select(.sponsor.name == "NumFOCUS") | {name: .name, author: .author.name}',
                 jmespath="values(@)[?sponsor.name == 'NumFOCUS'].{name: name, author: author.name}",
                 jmespath_many=True),
        Workload(BUILTIN, "keys", "citm_catalog.json", ".events | keys",
                 _one(lambda d: sorted(d["events"])),
                 jq=".events | keys", jmespath="sort(keys(events))", path=".events"),
        Workload(BUILTIN, "to_entries", "twitter.json", ".statuses.[] | .user | to_entries",
                 lambda d, dumps: [_entries(s["user"]) for s in d["statuses"]],
                 jq=".statuses.[] | .user | to_entries", path=".statuses.[] | .user"),
        Workload(BUILTIN, "tojson", "github_events.json", ".[] | tojson",
                 lambda d, dumps: [dumps(e) for e in d], jq=".[] | tojson", path=".[]"),
        Workload(BUILTIN, "sort", "numbers.json", "sort",
                 _one(sorted), jq="sort", jmespath="sort(@)", path="."),
        Workload(FIRST, "input(many)", "twitter.json", ".statuses.[] | .user.screen_name",
                 lambda d, dumps: [s["user"]["screen_name"] for s in d["statuses"]],
                 jq=".statuses.[] | .user.screen_name",
                 jmespath="statuses[].user.screen_name", jmespath_many=True),
        Workload(FIRST, "first(many)", "twitter.json", ".statuses.[] | .user.screen_name",
                 _one(lambda d: d["statuses"][0]["user"]["screen_name"]),
                 jq=".statuses.[] | .user.screen_name",
                 jmespath="statuses[0].user.screen_name", first=True),
    ]
    return [x for x in w if x.doc in available]


def generated_workloads(doc):
    """Workloads over one generated document (see gen.document)."""
    return [
        Workload(GROWTH, "identity", doc, ".", _one(lambda d: d), jq=".", jmespath="@",
                 pointer=""),
        Workload(GROWTH, "deep path", doc, ".meta.info.deep.leaf",
                 _one(lambda d: d["meta"]["info"]["deep"]["leaf"]),
                 jq=".meta.info.deep.leaf", jmespath="meta.info.deep.leaf",
                 pointer="/meta/info/deep/leaf"),
        Workload(GROWTH, "select+construct", doc,
                 ".items.[] | select(.score > 90 and .active) | {id: .id, name: .name, lat: .geo.lat}",
                 lambda d, dumps: [{"id": r["id"], "name": r["name"], "lat": r["geo"]["lat"]}
                                   for r in d["items"] if r["score"] > 90 and r["active"]],
                 jq=".items.[] | select(.score > 90 and .active) | {id: .id, name: .name, lat: .geo.lat}",
                 jmespath="items[?score > `90` && active].{id: id, name: name, lat: geo.lat}",
                 jmespath_many=True),
    ]


def first_workloads(doc):
    """first() against input() over a generated document with many results."""
    return [
        Workload(FIRST, "input(many)", doc, ".items.[] | .name",
                 lambda d, dumps: [r["name"] for r in d["items"]],
                 jq=".items.[] | .name", jmespath="items[].name", jmespath_many=True),
        Workload(FIRST, "first(many)", doc, ".items.[] | .name",
                 _one(lambda d: d["items"][0]["name"]),
                 jq=".items.[] | .name", jmespath="items[0].name", first=True),
    ]


def small_workload(doc):
    """Many ~200-byte documents through one compiled program."""
    return Workload(SMALL, "small docs", doc,
                    "select(.score > 50) | {id: .id, name: .name, lat: .geo.lat, tags: .tags}",
                    lambda d, dumps: ([{"id": d["id"], "name": d["name"], "lat": d["geo"]["lat"],
                                        "tags": d["tags"]}] if d["score"] > 50 else []),
                    jq="select(.score > 50) | {id: .id, name: .name, lat: .geo.lat, tags: .tags}",
                    jmespath="[@][?score > `50`].{id: id, name: name, lat: geo.lat, tags: tags}",
                    jmespath_many=True, many=True)


def lines_workload(doc):
    """JSON Lines of GitHub events: first() once per line."""
    return Workload(LINES, "JSON Lines", doc, "{id: .id, type: .type, who: .actor.login}",
                    _one(lambda e: {"id": e["id"], "type": e["type"], "who": e["actor"]["login"]}),
                    jq="{id: .id, type: .type, who: .actor.login}",
                    jmespath="{id: id, type: type, who: actor.login}", first=True, many=True,
                    proxies=True,
                    msgspec=({"id": str, "type": str, "actor": {"login": str}},
                             lambda e: [{"id": e.id, "type": e.type, "who": e.actor.login}]))
