'''A stand-in for the GeoClue2 location service, as a python-dbusmock template.

  python3 -m dbusmock --system --template geoclue2_standin.py [-p '{"deny": true}']

The manager hands out clients; a client starts only when its DesktopId is set, and
never when "deny" is given (as when the service's agent refuses). Control methods on
the manager object (interface org.freedesktop.DBus.Mock):

  EmitFix(d latitude, d longitude, d accuracy)   a new fix for every active client
  Describe() -> s                                what the newest client was asked
'''

import dbus

from dbusmock import MOCK_IFACE, mockobject

BUS_NAME = 'org.freedesktop.GeoClue2'
MAIN_OBJ = '/org/freedesktop/GeoClue2/Manager'
MAIN_IFACE = 'org.freedesktop.GeoClue2.Manager'
SYSTEM_BUS = True

CLIENT_IFACE = 'org.freedesktop.GeoClue2.Client'
LOCATION_IFACE = 'org.freedesktop.GeoClue2.Location'

state = {'deny': False, 'clients': [], 'fixes': 0}


def client_start(client):
    props = client.GetAll(CLIENT_IFACE)
    if state['deny'] or not props['DesktopId']:
        raise dbus.exceptions.DBusException('Access denied', name='org.freedesktop.DBus.Error.AccessDenied')
    client.Set(CLIENT_IFACE, 'Active', dbus.Boolean(True))


def client_stop(client):
    client.Set(CLIENT_IFACE, 'Active', dbus.Boolean(False))


def create_client(manager):
    path = f'/org/freedesktop/GeoClue2/Client/{len(state["clients"]) + 1}'
    manager.AddObject(path, CLIENT_IFACE, {
        'Location': dbus.ObjectPath('/'),
        'DistanceThreshold': dbus.UInt32(0),
        'TimeThreshold': dbus.UInt32(0),
        'DesktopId': dbus.String(''),
        'RequestedAccuracyLevel': dbus.UInt32(0),
        'Active': dbus.Boolean(False),
    }, [
        ('Start', '', '', client_start),
        ('Stop', '', '', client_stop),
    ])
    state['clients'].append(path)
    return dbus.ObjectPath(path)


def load(mock, parameters):
    state['deny'] = bool(parameters.get('deny', False))
    mock.AddMethods(MAIN_IFACE, [
        ('CreateClient', '', 'o', lambda self: create_client(self)),
        ('GetClient', '', 'o', lambda self: create_client(self)),
        ('DeleteClient', 'o', '', ''),
        ('AddAgent', 's', '', ''),
    ])
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary({
        'InUse': dbus.Boolean(False),
        'AvailableAccuracyLevel': dbus.UInt32(8),
    }, signature='sv'))


@dbus.service.method(MOCK_IFACE, in_signature='ddd', out_signature='')
def EmitFix(self, latitude, longitude, accuracy):
    state['fixes'] += 1
    path = f'/org/freedesktop/GeoClue2/Location/{state["fixes"]}'
    self.AddObject(path, LOCATION_IFACE, {
        'Latitude': dbus.Double(latitude),
        'Longitude': dbus.Double(longitude),
        'Accuracy': dbus.Double(accuracy),
        'Altitude': dbus.Double(-1.7976931348623157e308),
        'Speed': dbus.Double(-1.0),
        'Heading': dbus.Double(-1.0),
        'Description': dbus.String(''),
        'Timestamp': dbus.Struct((dbus.UInt64(1700000000), dbus.UInt64(250000)), signature='tt'),
    }, [])
    for client_path in state['clients']:
        client = mockobject.objects[client_path]
        if not client.Get(CLIENT_IFACE, 'Active'):
            continue
        old = client.Get(CLIENT_IFACE, 'Location')
        client.Set(CLIENT_IFACE, 'Location', dbus.ObjectPath(path))
        client.EmitSignal(CLIENT_IFACE, 'LocationUpdated', 'oo', [old, dbus.ObjectPath(path)])


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='s')
def Describe(self):
    if not state['clients']:
        return 'no client'
    props = mockobject.objects[state['clients'][-1]].GetAll(CLIENT_IFACE)
    return (f'desktop={props["DesktopId"]} accuracy={int(props["RequestedAccuracyLevel"])} '
            f'distance={int(props["DistanceThreshold"])} time={int(props["TimeThreshold"])} '
            f'active={str(bool(props["Active"])).lower()}')
