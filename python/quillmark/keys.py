"""CURVE key directories: one server key pair, one client key pair, and the public keys
of the clients a server admits.

    KEYDIR/server.key            the server's public key (clients need it)
    KEYDIR/server.key_secret     the server's key pair
    KEYDIR/client.key_secret     the client's key pair
    KEYDIR/clients/*.key         public keys of the clients the server admits

The files are ZeroMQ certificates as pyzmq's `zmq.auth` writes and reads them. To admit
another client, copy its public `.key` file into `KEYDIR/clients/`; to give a client
machine access, give it `server.key` and its own key pair in a directory laid out the
same way.
"""
import os
import shutil
from typing import Dict, Tuple, Union

import zmq
import zmq.auth

PathLike = Union[str, os.PathLike]

SERVER_PUBLIC = "server.key"
SERVER_SECRET = "server.key_secret"
CLIENT_SECRET = "client.key_secret"
CLIENTS = "clients"


def create_keys(directory: PathLike) -> Dict[str, str]:
    """Writes a server key pair and one client key pair into `directory` (created if
    missing) and admits the client. Refuses to overwrite existing keys. Returns the paths
    written, by role."""
    directory = os.fspath(directory)
    if os.path.exists(os.path.join(directory, SERVER_SECRET)):
        raise FileExistsError(f"{directory} already holds a server key; remove it first to make new keys")
    clients = os.path.join(directory, CLIENTS)
    os.makedirs(clients, exist_ok=True)
    server_public, server_secret = zmq.auth.create_certificates(directory, "server")
    client_public, client_secret = zmq.auth.create_certificates(directory, "client")
    admitted = shutil.move(client_public, os.path.join(clients, "client.key"))
    for secret in (server_secret, client_secret):
        os.chmod(secret, 0o600)
    return {"server public": server_public, "server secret": server_secret,
            "client secret": client_secret, "admitted client": admitted}


def server_secret_key(directory: PathLike) -> bytes:
    """The server's secret key (Z85 text) from `directory`."""
    public, secret = zmq.auth.load_certificate(os.path.join(directory, SERVER_SECRET))
    if not secret:
        raise ValueError(f"{os.path.join(directory, SERVER_SECRET)} holds no secret key")
    return secret


def admitted_client_keys(directory: PathLike) -> Dict[bytes, bool]:
    """The public keys (Z85 text) of every `*.key` certificate in `directory/clients`."""
    return zmq.auth.load_certificates(os.path.join(directory, CLIENTS))


def client_keys(directory: PathLike) -> Tuple[bytes, bytes, bytes]:
    """(client public, client secret, server public) from `directory`, for a client."""
    client_public, client_secret = zmq.auth.load_certificate(os.path.join(directory, CLIENT_SECRET))
    if not client_secret:
        raise ValueError(f"{os.path.join(directory, CLIENT_SECRET)} holds no secret key")
    server_public, _ = zmq.auth.load_certificate(os.path.join(directory, SERVER_PUBLIC))
    return client_public, client_secret, server_public


def use_client_keys(socket: zmq.Socket, directory: PathLike) -> None:
    """Makes `socket` (before it connects) a CURVE client with the keys in `directory`."""
    client_public, client_secret, server_public = client_keys(directory)
    socket.curve_publickey = client_public
    socket.curve_secretkey = client_secret
    socket.curve_serverkey = server_public
